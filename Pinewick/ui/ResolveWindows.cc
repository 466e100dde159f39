#include "Pinewick/ui/ResolveWindows.h"

#include <QApplication>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QVBoxLayout>

#include "Pinewick/ui/QtText.h"
#include "Pinewick/ui/StatusBar.h"
#include "platform/dispatch.h"
#include "platform/paths.h"

namespace tw::ui {
namespace {

using outcome = ErrorResolutionManager::outcome;
using Action = ErrorResolutionManager::action;

QLabel* wrapped(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QLabel* heading(const QString& text) {
    auto* label = new QLabel(text);
    QFont f = label->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.15);
    label->setFont(f);
    return label;
}

// Bring the application forward, as a window that needs an answer should.
void activate(QWidget* w) {
    w->show();
    w->raise();
    w->activateWindow();
}

}  // namespace

int runResolutionAlert(QWidget* parent, const ErrorResolutionManager::Alert& alert) {
    QMessageBox box(QMessageBox::Warning, "Tidewell", q(alert.message), QMessageBox::NoButton, parent);
    box.setWindowIcon(applicationIcon());
    box.setInformativeText(q(alert.informative));
    std::vector<QAbstractButton*> made;
    if (alert.buttons.empty()) {
        made.push_back(box.addButton(QMessageBox::Ok));
    } else {
        for (size_t i = 0; i < alert.buttons.size(); ++i)
            made.push_back(box.addButton(q(alert.buttons[i]),
                                         i == 0 ? QMessageBox::AcceptRole : QMessageBox::ActionRole));
    }
    box.setDefaultButton(static_cast<QPushButton*>(made.front()));
    box.setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    box.exec();
    for (size_t i = 0; i < made.size(); ++i)
        if (box.clickedButton() == made[i]) return static_cast<int>(i);
    return 0;
}

// ---- ResolveConflict

ResolveConflict::ResolveConflict(ErrorResolutionManager& manager, std::string path,
                                 std::optional<CorvaneExtendedAttributes> record)
    : errorPath(std::move(path)), xAttr(std::move(record)), manager_(manager) {
    setWindowTitle("Resolve Conflict – Tidewell");
    setWindowIcon(applicationIcon());
    setModal(true);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(20, 18, 20, 16);
    outer->setSpacing(10);
    outer->addWidget(
        heading(q("“" + platform::lastPathComponent(errorPath) + "” was changed in two places")));
    helpText = wrapped(q(ErrorResolutionManager::conflictHelpText(errorPath, xAttr ? &*xAttr : nullptr)));
    outer->addWidget(helpText);

    optionDiscardLocal = new QRadioButton(q(ErrorResolutionManager::actionLabel(Action::keepServer)));
    optionOverwriteServer = new QRadioButton(q(ErrorResolutionManager::actionLabel(Action::keepMine)));
    optionRename = new QRadioButton(q(ErrorResolutionManager::actionLabel(Action::keepBoth) + ":"));
    auto* group = new QButtonGroup(this);
    for (QRadioButton* b : {optionDiscardLocal, optionOverwriteServer, optionRename}) {
        group->addButton(b);
        outer->addWidget(b);
    }
    auto* renameRow = new QHBoxLayout;
    renameRow->setContentsMargins(24, 0, 0, 0);
    renameDirection = new QComboBox;
    renameDirection->addItem("My version becomes");
    renameDirection->addItem("The server's version becomes");
    conflictRename = new QLineEdit;
    conflictRename->setMinimumWidth(200);
    renameRow->addWidget(renameDirection);
    renameRow->addWidget(conflictRename, 1);
    outer->addLayout(renameRow);
    outer->addSpacing(6);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cancel = new QPushButton("Cancel");
    performAction = new QPushButton("Rename");
    performAction->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(performAction);
    outer->addLayout(buttons);

    optionRename->setChecked(true);
    conflictRename->setText(q(ErrorResolutionManager::createConflictFilename(errorPath)));
    for (QRadioButton* b : {optionDiscardLocal, optionOverwriteServer, optionRename})
        connect(b, &QRadioButton::clicked, [this] { refreshDisplay(); });
    connect(conflictRename, &QLineEdit::textChanged, [this] { refreshDisplay(); });
    connect(performAction, &QPushButton::clicked, [this] { onClickPerformAction(); });
    connect(cancel, &QPushButton::clicked, [this] { onClickCancel(); });
    refreshDisplay();
    setMinimumWidth(520);
}

void ResolveConflict::refreshDisplay() {
    performAction->setEnabled(true);
    if (optionDiscardLocal->isChecked()) performAction->setText("Discard");
    if (optionOverwriteServer->isChecked()) performAction->setText("Overwrite");
    if (optionRename->isChecked()) {
        performAction->setText("Rename");
        if (conflictRename->text().isEmpty()) performAction->setEnabled(false);
    }
    renameDirection->setEnabled(optionRename->isChecked());
    conflictRename->setEnabled(optionRename->isChecked());
}

void ResolveConflict::onClickPerformAction() {
    CorvaneExtendedAttributes seen = xAttr ? *xAttr : CorvaneExtendedAttributes(errorPath);
    outcome result = outcome::done;
    if (optionDiscardLocal->isChecked()) {
        result = manager_.discardLocal(errorPath, seen);
    } else if (optionOverwriteServer->isChecked()) {
        result = manager_.overwriteServer(errorPath, seen);
    } else if (optionRename->isChecked()) {
        std::string name = conflictRename->text().toStdString();
        ErrorResolutionManager::RenamePlan plan;
        result = manager_.prepareRename(errorPath, name, renameDirection->currentIndex() == 0, seen, &plan);
        if (result == outcome::nameTaken) {
            // The window stays open for another name.
            runResolutionAlert(this, ErrorResolutionManager::nameTakenAlert(name));
            return;
        }
        if (result == outcome::done) {
            ErrorResolutionManager* manager = &manager_;
            platform::DispatchQueue::global(platform::QoS::userInitiated).async([manager, plan] {
                manager->finishRename(plan);
            });
        }
    }
    if (result == outcome::itemChanged)
        runResolutionAlert(this, ErrorResolutionManager::itemChangedAlert(errorPath));
    done(0);
}

void ResolveConflict::onClickCancel() {
    done(0);
}

// ---- ResolveDelete

ResolveDelete::ResolveDelete(ErrorResolutionManager& manager, std::string path,
                             std::optional<CorvaneExtendedAttributes> record)
    : errorPath(std::move(path)), xAttr(std::move(record)), manager_(manager) {
    setWindowTitle("Resolve Delete – Tidewell");
    setWindowIcon(applicationIcon());
    setModal(true);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(20, 18, 20, 16);
    outer->setSpacing(10);
    outer->addWidget(heading(q("“" + platform::lastPathComponent(errorPath) + "” could not be deleted")));
    helpText = wrapped(q(ErrorResolutionManager::deleteHelpText(errorPath, xAttr ? &*xAttr : nullptr)));
    outer->addWidget(helpText);
    optionAcknowledgeError = new QRadioButton(q(ErrorResolutionManager::actionLabel(Action::keepServerCopy)));
    optionRetryDelete = new QRadioButton(q(ErrorResolutionManager::actionLabel(Action::retryDelete)));
    auto* group = new QButtonGroup(this);
    for (QRadioButton* b : {optionAcknowledgeError, optionRetryDelete}) {
        group->addButton(b);
        outer->addWidget(b);
    }
    outer->addSpacing(6);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cancel = new QPushButton("Cancel");
    performAction = new QPushButton("Ignore");
    performAction->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(performAction);
    outer->addLayout(buttons);
    optionAcknowledgeError->setChecked(true);
    for (QRadioButton* b : {optionAcknowledgeError, optionRetryDelete})
        connect(b, &QRadioButton::clicked, [this] { refreshDisplay(); });
    connect(performAction, &QPushButton::clicked, [this] { onClickPerformAction(); });
    connect(cancel, &QPushButton::clicked, [this] { onClickCancel(); });
    refreshDisplay();
    setMinimumWidth(480);
}

void ResolveDelete::refreshDisplay() {
    performAction->setText(optionRetryDelete->isChecked() ? "Retry" : "Ignore");
}

void ResolveDelete::onClickPerformAction() {
    hide();
    CorvaneExtendedAttributes seen = xAttr ? *xAttr : CorvaneExtendedAttributes(errorPath);
    outcome result = outcome::done;
    if (optionAcknowledgeError->isChecked()) {
        result = manager_.ignoreError(errorPath, seen);
    } else if (optionRetryDelete->isChecked()) {
        // Checked here, run where it may wait for the server.
        CorvaneExtendedAttributes now(errorPath);
        if (now.ceaStatus.status != seen.ceaStatus.status ||
            now.ceaErrorStatus.status != seen.ceaErrorStatus.status ||
            now.ceaErrorStatus.genre != seen.ceaErrorStatus.genre) {
            result = outcome::itemChanged;
        } else {
            ErrorResolutionManager* manager = &manager_;
            std::string path = errorPath;
            platform::DispatchQueue::global(platform::QoS::userInitiated).async([manager, path, seen] {
                manager->retryDelete(path, seen);
            });
        }
    }
    if (result == outcome::itemChanged)
        runResolutionAlert(nullptr, ErrorResolutionManager::itemChangedAlert(errorPath));
    done(0);
}

void ResolveDelete::onClickCancel() {
    done(0);
}

// ---- ResolutionPresenter

int ResolutionPresenter::runAlert(const ErrorResolutionManager::Alert& alert) {
    return runResolutionAlert(nullptr, alert);
}

void ResolutionPresenter::runConflict(const std::string& path, const CorvaneExtendedAttributes& record) {
    ResolveConflict window(manager_, path, record);
    activate(&window);
    window.exec();
}

void ResolutionPresenter::runDelete(const std::string& path, const CorvaneExtendedAttributes& record) {
    ResolveDelete window(manager_, path, record);
    activate(&window);
    window.exec();
}

}  // namespace tw::ui
