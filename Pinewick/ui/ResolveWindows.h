// The windows of error resolution: the conflict window (keep which copy, or give one of them a new
// name), the delete window (ignore or retry a delete the server refused) and the presenter that shows
// them and the plain alerts for ErrorResolutionManager, each modal while it is open.
//
// Thread-safety: main thread only. A resolution that talks to the server runs on a global queue after
// the window closed.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <optional>
#include <string>

#include "Pinewick/ui/ErrorResolutionManager.h"

namespace tw::ui {

class ResolveConflict : public QDialog {
public:
    ResolveConflict(ErrorResolutionManager& manager, std::string errorPath,
                    std::optional<CorvaneExtendedAttributes> xAttr);
    void refreshDisplay();
    void onClickPerformAction();
    void onClickCancel();

    std::string errorPath;
    std::optional<CorvaneExtendedAttributes> xAttr;
    QRadioButton* optionDiscardLocal;
    QRadioButton* optionOverwriteServer;
    QRadioButton* optionRename;
    QPushButton* performAction;
    QPushButton* cancel;
    QLineEdit* conflictRename;
    QLabel* helpText;
    QComboBox* renameDirection;

private:
    ErrorResolutionManager& manager_;
};

class ResolveDelete : public QDialog {
public:
    ResolveDelete(ErrorResolutionManager& manager, std::string errorPath,
                  std::optional<CorvaneExtendedAttributes> xAttr);
    void refreshDisplay();
    void onClickPerformAction();
    void onClickCancel();

    std::string errorPath;
    std::optional<CorvaneExtendedAttributes> xAttr;
    QRadioButton* optionAcknowledgeError;
    QRadioButton* optionRetryDelete;
    QPushButton* performAction;
    QPushButton* cancel;
    QLabel* helpText;

private:
    ErrorResolutionManager& manager_;
};

// Shows the manager's decisions as modal Qt windows.
class ResolutionPresenter : public ErrorResolutionManager::Presenter {
public:
    explicit ResolutionPresenter(ErrorResolutionManager& manager) : manager_(manager) {}
    int runAlert(const ErrorResolutionManager::Alert& alert) override;
    void runConflict(const std::string& path, const CorvaneExtendedAttributes& record) override;
    void runDelete(const std::string& path, const CorvaneExtendedAttributes& record) override;

private:
    ErrorResolutionManager& manager_;
};

// A modal alert as the resolution windows show them; the index of the button chosen.
int runResolutionAlert(QWidget* parent, const ErrorResolutionManager::Alert& alert);

}  // namespace tw::ui
