#include "Pinewick/ui/StatusBarMenu.h"

#include <filesystem>
#include <set>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/ui/DesktopEnvironment.h"
#include "Pinewick/ui/StatusBar.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/paths.h"

namespace tw::ui {
namespace {

int tagOf(const QAction* action) {
    bool ok = false;
    int tag = action->data().toInt(&ok);
    return ok ? tag : 0;
}

// Main thread only: the menus alive now, and the volumes a menu is unmounting. Both menus (tray and
// window) show an unmount started from either.
std::set<StatusBarMenu*>& liveMenus() {
    static std::set<StatusBarMenu*> menus;
    return menus;
}
std::set<std::string>& unmountingVolumes() {
    static std::set<std::string> names;
    return names;
}

constexpr const char* kVolumeNameProperty = "tidewellVolumeName";

// The menu line of a file: its name without the extension.
QString shownName(const std::string& path) {
    std::string name = platform::lastPathComponent(path);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return QString::fromStdString(name);
}

// A transfer line: the name, and how far it is once anything is known.
QString transferLine(const std::string& path, const std::optional<TransferProgress>& progress) {
    QString line = shownName(path);
    if (progress && progress->total > 0)
        line +=
            " — " + QString::fromStdString(StatusBarManager::progressText(progress->done, progress->total));
    return line;
}

}  // namespace

StatusBarMenu::StatusBarMenu(const EngineParts& parts, Actions actions)
    : parts_(parts), actions_(std::move(actions)), menu_(std::make_unique<QMenu>()) {
    menu_->setTitle("Tidewell");
    menu_->setToolTipsVisible(true);
    attentionMenu_ = menu_->addMenu(statusIcon(StatusBarManager::icons::statusBarErrorIcon), QString());
    attentionMenu_->setToolTipsVisible(true);
    attentionItem_ = attentionMenu_->menuAction();
    attentionItem_->setData(attentionTagNumber);
    menu_->addSeparator()->setData(attentionSeparatorTagNumber);
    updateAttention({});
    ssDownloadTitle_ = add("Downloading", downloadTagNumber);
    ssDownloadTitle_->setEnabled(false);
    ssDownloadFile_ = add("Nothing", downloadTagNumber, [this] {
        if (downloadFile_ && actions_.revealFile) actions_.revealFile(*downloadFile_);
    });
    ssUploadTitle_ = add("Uploading", uploadTagNumber);
    ssUploadTitle_->setEnabled(false);
    ssUploadFile_ = add("Nothing", uploadTagNumber, [this] {
        if (uploadFile_ && actions_.revealFile) actions_.revealFile(*uploadFile_);
    });
    menu_->addSeparator()->setData(transferSeparatorTagNumber);
    pauseConnection_ = add("Pause Syncing", pauseTagNumber, [this] { onClickPauseConnection(); });
    resumeConnection_ = add("Resume Syncing", resumeTagNumber, [this] { onClickResumeConnectionr(); });
    shareMenu_ = menu_->addMenu("Volumes");
    shareMenuItem_ = shareMenu_->menuAction();
    menu_->addSeparator();
    add("Preferences…", 0, [this] {
        if (actions_.preferences) actions_.preferences();
    });
    add("Online Help", 0, [this] { onClickOnlineHelp(); });
    menu_->addSeparator();
    add("Quit Tidewell", 0, [this] {
        if (actions_.quit) actions_.quit();
    });
    updateDownloadStats(std::nullopt);
    updateUploadStats(std::nullopt);
    QObject::connect(menu_.get(), &QMenu::aboutToShow, [this] {
        refreshVolumeMenu();
        validateMenu();
    });
    refreshVolumeMenu();
    validateMenu();
    liveMenus().insert(this);
}

StatusBarMenu::~StatusBarMenu() {
    liveMenus().erase(this);
}

QAction* StatusBarMenu::add(const QString& title, int tag, std::function<void()> action) {
    QAction* item = menu_->addAction(title);
    item->setData(tag);
    if (action) QObject::connect(item, &QAction::triggered, [action = std::move(action)] { action(); });
    return item;
}

void StatusBarMenu::refreshVolumeMenu() {
    shareMenuItem_->setVisible(false);
    for (QAction* a : shareMenu_->actions())
        if (tagOf(a) == volumeTagNumber) {
            shareMenu_->removeAction(a);
            delete a;
        }
    auto names = parts_.volumes.getMenuList();
    for (const auto& name : names) {
        QAction* item = shareMenu_->addAction(QString::fromStdString(name));
        item->setData(volumeTagNumber);
        item->setProperty(kVolumeNameProperty, QString::fromStdString(name));
        item->setCheckable(true);
        QObject::connect(item, &QAction::triggered, [this, item] { onClickVolume(item); });
        validateMenuItem(item);
    }
    shareMenuItem_->setVisible(!names.empty());
}

void StatusBarMenu::updateDownloadStats(const std::optional<std::string>& localPath,
                                        const std::optional<TransferProgress>& progress) {
    downloadFile_ = localPath;
    ssDownloadFile_->setText(localPath ? transferLine(*localPath, progress) : QString("Nothing"));
    ssDownloadFile_->setToolTip(localPath ? QString::fromStdString(*localPath) : QString());
    ssDownloadFile_->setEnabled(localPath.has_value());
}

void StatusBarMenu::updateUploadStats(const std::optional<std::string>& localPath,
                                      const std::optional<TransferProgress>& progress) {
    uploadFile_ = localPath;
    ssUploadFile_->setText(localPath ? transferLine(*localPath, progress) : QString("Nothing"));
    ssUploadFile_->setToolTip(localPath ? QString::fromStdString(*localPath) : QString());
    ssUploadFile_->setEnabled(localPath.has_value());
}

void StatusBarMenu::validateMenu() {
    for (QAction* a : menu_->actions()) validateMenuItem(a);
}

void StatusBarMenu::validateMenuItem(QAction* item) {
    if (!item) return;
    int tag = tagOf(item);
    if (tag == volumeTagNumber) {
        const std::string name = volumeNameOf(item);
        if (isUnmounting(name)) {
            item->setText(QString::fromStdString("Unmounting " + name + "…"));
            item->setChecked(false);
            item->setEnabled(false);
            return;
        }
        item->setText(QString::fromStdString(name));
        auto volume = parts_.volumes.findVolume(name);
        std::error_code ec;
        bool present = volume && std::filesystem::is_directory(volume->localFolder, ec);
        item->setChecked(present);
        item->setEnabled(present || (volume && volume->available));
        return;
    }
    // The transfer lines keep the state their updates gave them.
    if (item == ssDownloadFile_ || item == ssUploadFile_ || item == ssDownloadTitle_ ||
        item == ssUploadTitle_)
        return;
    item->setEnabled(true);
    if (tag == pauseTagNumber || tag == resumeTagNumber) {
        bool allowed = parts_.runState.allowServerCommunication;
        item->setVisible(tag == pauseTagNumber ? allowed : !allowed);
        item->setEnabled(!ServerConfigurationDetails::isForced(parts_.configuration.allowServerContact));
        if (!item->isEnabled())
            item->setToolTip("Controlled by System Administrator");
        else
            item->setToolTip(QString());
    }
}

void StatusBarMenu::removeMenuItem(int tag) {
    for (QAction* a : menu_->actions())
        if (tagOf(a) == tag) {
            menu_->removeAction(a);
            if (a == ssDownloadFile_ || a == ssUploadFile_ || a == ssDownloadTitle_ || a == ssUploadTitle_ ||
                a == pauseConnection_ || a == resumeConnection_)
                continue;  // still updated; owned by the menu as its child
            delete a;
        }
}

QAction* StatusBarMenu::item(int tag) const {
    for (QAction* a : menu_->actions())
        if (tagOf(a) == tag) return a;
    return nullptr;
}

void StatusBarMenu::onClickVolume(QAction* item) {
    std::string name = volumeNameOf(item);
    // The item was toggled by the click: checked now means it was off before. Mounting already runs
    // in the background; an unmount waits for the eject.
    if (item->isChecked())
        parts_.volumes.activateVolume(name);
    else
        unmountVolume(name);
}

std::string StatusBarMenu::volumeNameOf(const QAction* item) {
    QVariant name = item->property(kVolumeNameProperty);
    return name.isValid() ? name.toString().toStdString() : item->text().toStdString();
}

bool StatusBarMenu::isUnmounting(const std::string& name) {
    return unmountingVolumes().count(name) > 0;
}

void StatusBarMenu::unmountVolume(const std::string& name) {
    if (!unmountingVolumes().insert(name).second) return;  // already on its way
    for (StatusBarMenu* menu : liveMenus())
        for (QAction* a : menu->shareMenu_->actions())
            if (tagOf(a) == volumeTagNumber) menu->validateMenuItem(a);
    // The volume manager outlives every menu; this menu may go before the eject ends.
    platform::DispatchQueue::global(platform::QoS::userInitiated).async([&volumes = parts_.volumes, name] {
        if (!volumes.deactivateVolume(name))
            log().logWarning("Could not unmount " + name + ": no volume has that name");
        platform::MainQueue::shared().async([name] {
            unmountingVolumes().erase(name);
            for (StatusBarMenu* menu : liveMenus()) menu->refreshVolumeMenu();
        });
    });
}

void StatusBarMenu::onClickOnlineHelp() {
    if (actions_.openUrl) actions_.openUrl(onlineHelpUrl());
}

bool StatusBarMenu::flipConnection(bool paused) {
    auto choice = parts_.runState.chooseServerContact(!paused);
    if (choice == StateManager::ContactChoice::notStored)
        log().logWarning("Could not store the choice to " + std::string(paused ? "pause" : "resume") +
                         "; it lasts until the next start");
    return choice == StateManager::ContactChoice::applied;
}

void StatusBarMenu::updateAttention(const StatusBarManager::Attention& attention) {
    size_t count = attention.count();
    attentionItem_->setVisible(count > 0);
    if (QAction* separator = item(attentionSeparatorTagNumber)) separator->setVisible(count > 0);
    attentionItem_->setText(count == 1 ? QString("1 item needs you")
                                       : QString("%1 items need you").arg(static_cast<qulonglong>(count)));
    attentionMenu_->clear();
    for (const auto& path : attention.items) {
        QAction* entry = attentionMenu_->addAction(
            "Resolve “" + QString::fromStdString(platform::lastPathComponent(path)) + "”…");
        entry->setToolTip(QString::fromStdString(path));
        QObject::connect(entry, &QAction::triggered, [this, path] {
            if (actions_.resolveItem) actions_.resolveItem(path);
        });
    }
    if (attention.itemsInError > attention.items.size()) {
        QAction* more = attentionMenu_->addAction(
            QString("…and %1 more: choose Resolve Error on them in the file manager")
                .arg(static_cast<qulonglong>(attention.itemsInError - attention.items.size())));
        more->setEnabled(false);
    }
    if (!attention.items.empty() && !attention.heldFolders.empty()) attentionMenu_->addSeparator();
    for (const auto& folder : attention.heldFolders) {
        QAction* entry = attentionMenu_->addAction(
            "Removals held in “" + QString::fromStdString(platform::lastPathComponent(folder)) + "”…");
        entry->setToolTip(QString::fromStdString(folder));
        QObject::connect(entry, &QAction::triggered, [this, folder] {
            if (actions_.confirmRemovals) actions_.confirmRemovals(folder);
        });
    }
}

}  // namespace tw::ui
