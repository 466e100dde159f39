#include "Pinewick/ui/DesktopEnvironment.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QUrl>
#include <filesystem>

#include "platform/dispatch.h"
#include "platform/paths.h"
#include "platform/process.h"

#ifndef TIDEWELL_SOURCE_DIR
#define TIDEWELL_SOURCE_DIR ""
#endif

namespace tw::ui {

DesktopEnvironment builtInDesktop() {
    DesktopEnvironment env;
    env.terminate = [] { platform::MainQueue::shared().stop(); };
    env.openUrl = [](const std::string& url) {
        QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
    };
    env.revealFile = [](const std::string& path) {
        // The file manager's own interface selects the item; without one, its folder opens.
        auto call =
            QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                           "org.freedesktop.FileManager1", "ShowItems");
        call << QStringList{QUrl::fromLocalFile(QString::fromStdString(path)).toString()} << QString();
        auto bus = QDBusConnection::sessionBus();
        if (!bus.isConnected() || bus.call(call, QDBus::Block, 3000).type() == QDBusMessage::ErrorMessage)
            QDesktopServices::openUrl(
                QUrl::fromLocalFile(QString::fromStdString(platform::parentFolder(path))));
    };
    env.chooseFolder = [](QWidget* parent, const std::string& title,
                          const std::string& start) -> std::optional<std::string> {
        QFileDialog dialog(parent, QString::fromStdString(title), QString::fromStdString(start));
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        dialog.setWindowModality(Qt::WindowModal);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
        return dialog.selectedFiles().front().toStdString();
    };
    return env;
}

std::string onlineHelpUrl() {
    namespace fs = std::filesystem;
    // <prefix>/bin/tidewell -> <prefix>/share/doc/tidewell/user-guide.html
    fs::path installed = fs::path(platform::executableFolder()).parent_path() / kInstalledUserGuide;
    std::error_code ec;
    if (fs::exists(installed, ec))
        return QUrl::fromLocalFile(QString::fromStdString(installed)).toString().toStdString();
    fs::path readme = fs::path(TIDEWELL_SOURCE_DIR) / "README.md";
    if (!std::string(TIDEWELL_SOURCE_DIR).empty() && fs::exists(readme, ec)) {
        QUrl url = QUrl::fromLocalFile(QString::fromStdString(readme));
        url.setFragment("for-users");
        return url.toString().toStdString();
    }
    return QUrl::fromLocalFile(QString::fromStdString(installed)).toString().toStdString();
}

std::string uninstallerPath(const DesktopEnvironment& desktop) {
    const auto& configured = desktop.uninstallerPath;
    if (!configured.empty()) return configured;
    return platform::executableFolder() + "/tidewell-uninstall";
}

}  // namespace tw::ui
