#include "Pinewick/ui/StatusBar.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QVBoxLayout>

#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/ui/AttentionList.h"
#include "Pinewick/ui/ErrorResolutionManager.h"
#include "Pinewick/ui/Preferences.h"
#include "platform/dispatch.h"
#include "platform/paths.h"

namespace tw::ui {

using icons = StatusBarManager::icons;

const char* statusIconName(icons icon) {
    switch (icon) {
        case icons::statusBarIcon:
            return "tidewell-status-idle";
        case icons::statusBarPauseIcon:
            return "tidewell-status-paused";
        case icons::statusBarErrorIcon:
            return "tidewell-status-error";
        case icons::statusBarBusyIcon:
            return "tidewell-status-busy";
        case icons::statusBarNoNetworkIcon:
            return "tidewell-status-offline";
    }
    return "tidewell-status-idle";
}

QIcon statusIcon(icons icon) {
    QString name = statusIconName(icon);
    return QIcon::fromTheme(name, QIcon(":/icons/" + name + ".svg"));
}

QIcon applicationIcon() {
    return QIcon::fromTheme("com.meridot.tidewell", QIcon(":/icons/com.meridot.tidewell.svg"));
}

namespace {

QString statusText(const StatusBarManager::State& state) {
    switch (state.icon) {
        case icons::statusBarNoNetworkIcon:
            return "Waiting for the network";
        case icons::statusBarPauseIcon:
            return "Syncing is paused";
        case icons::statusBarErrorIcon: {
            size_t count = state.attention.count();
            if (count == 0) return "Some items need your attention";
            return count == 1 ? QString("1 item needs you")
                              : QString("%1 items need you").arg(static_cast<qulonglong>(count));
        }
        case icons::statusBarBusyIcon:
            return "Syncing…";
        case icons::statusBarIcon:
            return "Up to date";
    }
    return {};
}

// "Downloading report.pdf — 45 % of 12.3 MB"; the name alone until bytes move.
QString transferText(const char* verb, const StatusBarManager::State& state, const std::string& path) {
    QString text = verb + QString(" ") + QString::fromStdString(platform::lastPathComponent(path));
    auto progress = state.progressOf(path);
    if (progress && progress->total > 0)
        text +=
            " — " + QString::fromStdString(StatusBarManager::progressText(progress->done, progress->total));
    return text;
}

QString detailText(const StatusBarManager::State& state) {
    QStringList parts;
    if (state.downloadFile) parts << transferText("Downloading", state, *state.downloadFile);
    if (state.uploadFile) parts << transferText("Uploading", state, *state.uploadFile);
    // Uploads of distinct files run side by side: the others are counted.
    if (state.uploadFiles.size() > 1)
        parts << QString("%1 more uploading").arg(static_cast<qulonglong>(state.uploadFiles.size() - 1));
    return parts.join(" · ");
}

// Closing the only window of a program without a tray would leave its menu out of reach; it is
// minimised instead (Quit is in the menu).
class StatusWindowCloseFilter : public QObject {
public:
    explicit StatusWindowCloseFilter(QObject* parent) : QObject(parent) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            event->ignore();
            static_cast<QWidget*>(watched)->showMinimized();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

StatusWindow::StatusWindow() {
    setWindowTitle("Tidewell");
    setWindowIcon(applicationIcon());
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(12);
    icon_ = new QLabel;
    icon_->setFixedSize(32, 32);
    layout->addWidget(icon_, 0, Qt::AlignVCenter);
    auto* lines = new QVBoxLayout;
    lines->setSpacing(2);
    statusLine_ = new QLabel;
    QFont bold = statusLine_->font();
    bold.setBold(true);
    statusLine_->setFont(bold);
    detailLine_ = new QLabel;
    detailLine_->setForegroundRole(QPalette::PlaceholderText);
    detailLine_->setMinimumWidth(200);
    lines->addWidget(statusLine_);
    lines->addWidget(detailLine_);
    layout->addLayout(lines, 1);
    menuButton_ = new QPushButton("Menu");
    menuButton_->setAccessibleName("Tidewell menu");
    layout->addWidget(menuButton_, 0, Qt::AlignVCenter);
    installEventFilter(new StatusWindowCloseFilter(this));
    showState({});
}

void StatusWindow::setMenu(QMenu* menu) {
    menuButton_->setMenu(menu);
}

void StatusWindow::showState(const StatusBarManager::State& state) {
    icon_->setPixmap(statusIcon(state.icon).pixmap(32, 32));
    statusLine_->setText(statusText(state));
    QString detail = detailText(state);
    detailLine_->setText(detail.isEmpty() ? QString("Nothing is being transferred") : detail);
    // A longer line (a transfer with its progress) widens the window rather than being cut off.
    if (sizeHint().width() > width()) resize(sizeHint().width(), height());
}

StatusBar::StatusBar(const EngineParts& parts, std::optional<bool> trayAvailable, DesktopEnvironment desktop)
    : parts_(parts),
      desktop_(std::move(desktop)),
      trayAvailable_(trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable())),
      alive_(std::make_shared<bool>(true)) {
    StatusBarMenu::Actions actions;
    actions.preferences = [this] { openPreferences(); };
    actions.quit = [] { platform::MainQueue::shared().stop(); };
    actions.resolveItem = [&manager = parts_.errorResolution](const std::string& path) {
        manager.resolveError(path);
    };
    actions.confirmRemovals = [&parts = parts_](const std::string& folder) {
        confirmHeldRemovals(folder, parts);
    };
    actions.revealFile = desktop_.revealFile;
    actions.openUrl = desktop_.openUrl;
    statusBarMenu_ = std::make_unique<StatusBarMenu>(parts_, actions);
    dockBarMenu_ = std::make_unique<StatusBarMenu>(parts_, actions);
    for (int tag : {StatusBarMenu::downloadTagNumber, StatusBarMenu::uploadTagNumber,
                    StatusBarMenu::transferSeparatorTagNumber, StatusBarMenu::pauseTagNumber,
                    StatusBarMenu::resumeTagNumber})
        dockBarMenu_->removeMenuItem(tag);

    if (trayAvailable_) {
        tray_ = std::make_unique<QSystemTrayIcon>(statusIcon(icon_));
        tray_->setToolTip("Tidewell");
        tray_->setContextMenu(statusBarMenu_->menu());
        // A left click shows the menu too, as most trays do for status items.
        QObject::connect(tray_.get(), &QSystemTrayIcon::activated,
                         [this](QSystemTrayIcon::ActivationReason r) {
                             if (r == QSystemTrayIcon::Trigger) statusBarMenu_->menu()->popup(QCursor::pos());
                         });
        tray_->show();
    }
    window_ = std::make_unique<StatusWindow>();
    window_->setMenu(trayAvailable_ ? dockBarMenu_->menu() : statusBarMenu_->menu());
    applyDockIcon(parts_.configuration.dockIconShown());

    observer_ = parts_.statusBar.addObserver(
        [this, alive = std::weak_ptr<bool>(alive_)](const StatusBarManager::State& state) {
            if (alive.lock()) showState(state);
        });
    showState(parts_.statusBar.state());
}

StatusBar::~StatusBar() {
    parts_.statusBar.removeObserver(observer_);
    alive_.reset();
}

void StatusBar::showState(const StatusBarManager::State& state) {
    icon_ = state.icon;
    if (tray_) {
        tray_->setIcon(statusIcon(state.icon));
        tray_->setToolTip("Tidewell: " + statusText(state));
    }
    window_->showState(state);
    statusBarMenu_->updateDownloadStats(state.downloadFile, state.progressOf(state.downloadFile));
    statusBarMenu_->updateUploadStats(state.uploadFile, state.progressOf(state.uploadFile));
    statusBarMenu_->updateAttention(state.attention);
    dockBarMenu_->updateAttention(state.attention);
    statusBarMenu_->validateMenu();
    dockBarMenu_->validateMenu();
}

bool StatusBar::confirmHeldRemovals(const std::string& folder, EngineParts& parts) {
    QMessageBox box(QMessageBox::Question, "Tidewell",
                    "Remove the items the server no longer lists in “" +
                        QString::fromStdString(platform::lastPathComponent(folder)) + "”?",
                    QMessageBox::NoButton);
    box.setWindowIcon(applicationIcon());
    box.setInformativeText(
        "The server stopped listing the items of " + QString::fromStdString(folder) +
        ", so Tidewell kept them here. If they were removed on purpose, remove them here too. If not, keep "
        "them: nothing is removed until you decide.");
    QPushButton* remove = box.addButton("Remove Here Too", QMessageBox::DestructiveRole);
    QPushButton* keep = box.addButton("Keep Them", QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.exec();
    if (box.clickedButton() != remove) return false;
    bool confirmed = SyncFolder::confirmRemovals(parts.timeline, folder);
    parts.attention.heldFoldersChanged();
    return confirmed;
}

void StatusBar::applyDockIcon(bool show) {
    // Without a tray the window is the only way to the menu, whatever the switch says.
    bool visible = !trayAvailable_ || show;
    if (visible) {
        window_->show();
        window_->raise();
    } else {
        window_->hide();
    }
}

Preferences& StatusBar::openPreferences(int tab) {
    if (!preferences_) {
        preferences_ = std::make_unique<Preferences>(parts_, desktop_);
        preferences_->setDockIconChanged([this](bool show) { applyDockIcon(show); });
    }
    preferences_->load();
    if (tab >= 0) preferences_->activateTab(tab);
    return *preferences_;
}

void StatusBar::requestCredentials() {
    platform::MainQueue::shared().async([this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) openPreferences(Preferences::kLoginTab);
    });
}

}  // namespace tw::ui
