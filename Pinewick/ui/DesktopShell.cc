#include "Pinewick/ui/DesktopShell.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <tuple>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/ContextMenuHandler.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/ui/DesktopEnvironment.h"
#include "Pinewick/ui/ErrorResolutionManager.h"
#include "Pinewick/ui/Preferences.h"
#include "Pinewick/ui/ResolveWindows.h"
#include "Pinewick/ui/StatusBar.h"
#include "Pinewick/uninstall/Outcome.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/dispatch.h"
#include "platform/notifications.h"
#include "platform/overmark.h"
#include "platform/places.h"

namespace tw::ui {
namespace {

std::mutex g_currentMutex;       // guards g_current
StatusBar* g_current = nullptr;  // the running shell's status item

bool saveGrab(QWidget* w, const std::string& folder, const std::string& name, const std::string& suffix) {
    QApplication::processEvents();
    QPixmap shot = w->grab();
    std::string path = folder + "/" + name + suffix + ".png";
    bool ok = shot.save(QString::fromStdString(path));
    if (!ok) log().logWarning("Could not save " + path);
    return ok;
}

void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

bool DesktopShell::displayAvailable() {
    auto set = [](const char* name) {
        const char* v = getenv(name);
        return v && *v;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

void DesktopShell::attachMainQueue() {
    auto& queue = platform::MainQueue::shared();
    // Whatever arrives is run from Qt's loop, one posted call per wake-up.
    queue.setWakeHandler([] {
        if (auto* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [] { platform::MainQueue::shared().drainMainQueue(); }, Qt::QueuedConnection);
    });
    // Queued, so a stop asked for before the loop runs still ends it once it does.
    queue.setStopHandler([] {
        if (auto* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app,
                [] {
                    // exit, not quit: quit asks every window to close first, and the status window refuses.
                    QCoreApplication::exit(0);
                },
                Qt::QueuedConnection);
    });
    if (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread())
        queue.drainMainQueue();  // the draining thread is the GUI thread from here on
}

void DesktopShell::prepareApplication() {
    QApplication::setApplicationName("Tidewell");
    QApplication::setDesktopFileName("com.meridot.tidewell");
    QApplication::setWindowIcon(applicationIcon());
    // Closing the preferences or a resolution window must not end a program that lives in the tray.
    QApplication::setQuitOnLastWindowClosed(false);
    attachMainQueue();
}

DesktopShell::DesktopShell(const EngineParts& parts) : parts_(parts), desktop_(builtInDesktop()) {
    // What the Uninstall pane stops before the uninstaller runs.
    desktop_.shutdown = parts_.stopSynchronisation;
    desktop_.detachInLocationFolders = [&volumes = parts_.volumes] { volumes.detachInLocationFolders(); };
}

DesktopShell::~DesktopShell() {
    stop();
}

void DesktopShell::start() {
    statusBar_ = std::make_unique<StatusBar>(parts_, std::nullopt, desktop_);
    auto& manager = parts_.errorResolution;
    presenter_ = std::make_unique<ResolutionPresenter>(manager);
    manager.setPresenter(presenter_.get());
    parts_.contextMenu.setResolveErrorHandler(
        [&manager](const std::string& path) { manager.resolveError(path); });
    StatusBar* bar = statusBar_.get();
    {
        std::lock_guard lock(g_currentMutex);
        g_current = bar;
    }
    // The volume menu follows the volume list.
    volumeChanges_ = platform::observeNotifications(overmark::kVolumeChangeNotification,
                                                    [bar](const std::string&, const std::string&) {
                                                        platform::MainQueue::shared().async([bar] {
                                                            bar->statusBarMenu().refreshVolumeMenu();
                                                            bar->dockBarMenu().refreshVolumeMenu();
                                                        });
                                                    });
    if (const char* folder = getenv("TIDEWELL_SCREENSHOTS"); folder && *folder) {
        std::string dir = folder;
        const char* s = getenv("TIDEWELL_SCREENSHOT_SUFFIX");
        std::string suffix = s ? s : "";
        const char* delay = getenv("TIDEWELL_SCREENSHOT_DELAY_MS");
        int ms = delay ? std::atoi(delay) : 1000;
        QTimer::singleShot(ms > 0 ? ms : 1000, [this, dir, suffix] {
            saveScreenshots(dir, suffix);
            platform::MainQueue::shared().stop();
        });
    }
}

void DesktopShell::stop() {
    volumeChanges_.reset();  // waits for a callback running now
    parts_.contextMenu.setResolveErrorHandler(nullptr);
    parts_.errorResolution.setPresenter(nullptr);
    {
        std::lock_guard lock(g_currentMutex);
        g_current = nullptr;
    }
    presenter_.reset();
    statusBar_.reset();
}

bool DesktopShell::requestCredentials() {
    std::lock_guard lock(g_currentMutex);
    if (!g_current) return false;
    g_current->requestCredentials();  // only queues the window on the main queue
    return true;
}

void DesktopShell::saveScreenshots(const std::string& folder, const std::string& suffix) {
    std::filesystem::create_directories(folder);
    StatusBar& bar = *statusBar_;

    // The status icons on a light and a dark panel.
    {
        int side = 22 * 2, pad = 8;
        qreal dpr = qApp->devicePixelRatio();
        QImage sheet(QSize((side + pad) * 5 + pad, (side + pad) * 2 + pad) * dpr, QImage::Format_ARGB32);
        sheet.setDevicePixelRatio(dpr);
        QPainter p(&sheet);
        p.fillRect(QRect(0, 0, sheet.width(), sheet.height() / 2), QColor("#f2f2f2"));
        p.fillRect(QRect(0, sheet.height() / (2 * dpr), sheet.width(), sheet.height()), QColor("#2b2b2b"));
        int i = 0;
        for (auto icon :
             {StatusBarManager::icons::statusBarIcon, StatusBarManager::icons::statusBarBusyIcon,
              StatusBarManager::icons::statusBarPauseIcon, StatusBarManager::icons::statusBarErrorIcon,
              StatusBarManager::icons::statusBarNoNetworkIcon}) {
            for (int row = 0; row < 2; ++row)
                statusIcon(icon).paint(&p,
                                       QRect(pad + i * (side + pad), pad + row * (side + pad), side, side));
            ++i;
        }
        p.end();
        sheet.save(QString::fromStdString(folder + "/status-icons" + suffix + ".png"));
    }

    // The menu as the tray shows it (or the window's, without a tray).
    {
        QMenu* menu = bar.statusBarMenu().menu();
        bar.statusBarMenu().refreshVolumeMenu();
        bar.statusBarMenu().validateMenu();
        menu->popup(QPoint(60, 60));
        settle(300);
        saveGrab(menu, folder, "tray-menu", suffix);
        menu->hide();
        if (bar.window()->isVisible()) saveGrab(bar.window(), folder, "status-window", suffix);
        QMenu* dock = bar.dockBarMenu().menu();
        dock->popup(QPoint(60, 60));
        settle(300);
        saveGrab(dock, folder, "window-menu", suffix);
        dock->hide();
    }

    // Each preferences tab.
    {
        Preferences& prefs = bar.openPreferences();
        const char* names[] = {"preferences-settings", "preferences-uninstall", "preferences-account",
                               "preferences-about"};
        for (int tab = 0; tab < 4; ++tab) {
            prefs.activateTab(tab);
            settle(200);
            saveGrab(&prefs, folder, names[tab], suffix);
        }
        // What the Uninstall tab tells once the uninstaller has run, from sample reports (running it
        // would remove this very program's data): all done, and something left.
        const std::string kept = platform::expandTilde(parts_.configuration.currentRecoveryFolder());
        // The recovery folder is the application's to make (it does when it first keeps something);
        // there, the alert offers to open it.
        platform::makeFolders(kept);
        const std::string done =
            "Removed the local copy of Documents.\nRemoved the stored server password.\n"
            "Tidewell no longer starts at login.\n"
            "To remove the program itself, remove its package: sudo apt remove tidewell\n" +
            uninstall::recoveredLine(12, kept) + "\n";
        const std::string left = "Removed the stored server password.\n" + uninstall::recoveredLine(3, kept) +
                                 "\n" +
                                 uninstall::problemLine(
                                     "The volume Documents was kept, because not all of its files could be "
                                     "recovered.") +
                                 "\n";
        for (const auto& [name, report, incomplete] : {std::tuple{"uninstall-finished", done, false},
                                                       std::tuple{"uninstall-incomplete", left, true}}) {
            prefs.activateTab(Preferences::kUninstallTab);
            QPushButton* open = nullptr;
            auto alert = Uninstall::outcomeAlert(&prefs, report, incomplete, "", &open);
            alert->show();
            settle(200);
            saveGrab(alert.get(), folder, name, suffix);
            alert->hide();
        }
        prefs.hide();
    }

    // The resolution windows for a conflicting upload and a refused folder delete.
    std::string base;
    auto volumes = parts_.volumes.activeVolumesList();
    base = volumes.empty() ? QDir::homePath().toStdString() + "/Tidewell" : volumes.front();
    {
        CorvaneExtendedAttributes record(base + "/Quarterly Report.pdf", std::string());
        record.ceaStatus.setStatus(CEAStatus::keys::ErrorRegular);
        record.ceaErrorStatus.setStatus(CEAErrorStatus::keys::Conflict);
        record.ceaErrorStatus.setGenre(CEAErrorStatus::genres::Transfer);
        ResolveConflict window(parts_.errorResolution, base + "/Quarterly Report.pdf", record);
        window.show();
        settle(200);
        saveGrab(&window, folder, "resolve-conflict", suffix);
    }
    {
        CorvaneExtendedAttributes record(base + "/Project Plans", std::string());
        record.ceaStatus.setStatus(CEAStatus::keys::ErrorPlaceHolder);
        record.ceaErrorStatus.setStatus(CEAErrorStatus::keys::FolderNotEmpty);
        record.ceaErrorStatus.setGenre(CEAErrorStatus::genres::Delete);
        ResolveDelete window(parts_.errorResolution, base + "/Project Plans", record);
        window.show();
        settle(200);
        saveGrab(&window, folder, "resolve-delete", suffix);
    }

    // The volume menu while a mounted volume is being unmounted. Last: the volume goes away.
    {
        StatusBarMenu& menu = bar.statusBarMenu();
        menu.refreshVolumeMenu();
        std::string mounted;
        for (QAction* a : menu.shareMenu()->actions())
            if (a->isChecked()) {
                mounted = StatusBarMenu::volumeNameOf(a);
                break;
            }
        if (mounted.empty()) {
            log().logWarning("No mounted volume to show being unmounted");
            return;
        }
        menu.unmountVolume(mounted);
        QMenu* top = menu.menu();
        top->popup(QPoint(60, 60));
        settle(200);
        QRect item = top->actionGeometry(menu.shareMenuItem());
        menu.shareMenu()->popup(top->mapToGlobal(item.topRight()));
        settle(300);
        if (StatusBarMenu::isUnmounting(mounted))
            saveGrab(menu.shareMenu(), folder, "volume-menu-unmounting", suffix);
        else
            log().logWarning("The volume was unmounted before its menu could be shown");
        menu.shareMenu()->hide();
        top->hide();
    }
}

}  // namespace tw::ui
