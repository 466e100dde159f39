#include "Pinewick/ui/Preferences.h"

#include <QApplication>
#include <QButtonGroup>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPointer>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <thread>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/SystemInformation.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/ui/DesktopEnvironment.h"
#include "Pinewick/ui/QtText.h"
#include "Pinewick/ui/StatusBar.h"
#include "Pinewick/uninstall/Outcome.h"
#include "platform/autostart.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/keychain.h"
#include "platform/places.h"
#include "platform/process.h"

namespace tw::ui {
namespace {

using Options = ServerConfigurationDetails::adminButtonOptions;
using Names = ServerConfigurationDetails::buttonNames;

// A sheet: an alert modal to its window only, as the panes show them.
int runSheet(QWidget* parent, QMessageBox::Icon icon, const std::string& message,
             const std::string& informative, const std::vector<std::string>& buttons = {}) {
    QMessageBox box(icon, "Tidewell", q(message), QMessageBox::NoButton, parent ? parent->window() : nullptr);
    box.setInformativeText(q(informative));
    box.setWindowModality(Qt::WindowModal);
    std::vector<QAbstractButton*> made;
    if (buttons.empty()) {
        made.push_back(box.addButton(QMessageBox::Ok));
    } else {
        for (size_t i = 0; i < buttons.size(); ++i)
            made.push_back(
                box.addButton(q(buttons[i]), i == 0 ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
    }
    box.setDefaultButton(static_cast<QPushButton*>(made.front()));
    box.exec();
    for (size_t i = 0; i < made.size(); ++i)
        if (box.clickedButton() == made[i]) return static_cast<int>(i);
    return 0;
}

void storeUserChoice(Names name, bool value) {
    if (!platform::Defaults::standard().set(ServerConfigurationDetails::userChoiceKey(name), value))
        log().logWarning("Could not store the setting " + ServerConfigurationDetails::rawValue(name));
}

}  // namespace

// ---- BusySpinner

BusySpinner::BusySpinner(QWidget* parent, const QString& text) : QDialog(parent) {
    setWindowTitle("Tidewell");
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->addWidget(new QLabel(text));
    spinner_ = new QProgressBar;
    spinner_->setRange(0, 0);  // indeterminate: animates while shown
    spinner_->setTextVisible(false);
    spinner_->setMinimumWidth(260);
    layout->addWidget(spinner_);
}

// ---- Authenticate

Authenticate::Authenticate(ServerConfigurationDetails& configuration, ServerCredentials& credentials,
                           TimeLineManager& timeline)
    : configuration_(configuration), credentials_(credentials), timeline_(timeline) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 20, 24, 20);
    auto* intro = new QLabel("Log in to your organisation's Tidewell server.");
    intro->setWordWrap(true);
    outer->addWidget(intro);
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    server = new QLineEdit;
    server->setPlaceholderText("sync.example.org");
    userLogon = new QLineEdit;
    password = new QLineEdit;
    password->setEchoMode(QLineEdit::Password);
    form->addRow("Server:", server);
    form->addRow("User name:", userLogon);
    form->addRow("Password:", password);
    outer->addLayout(form);
    auto* row = new QHBoxLayout;
    allGood = new QLabel("✓ You are logged in.");
    allGood->setStyleSheet("color: #1b7f3b;");
    spinner = new QProgressBar;
    spinner->setRange(0, 1);
    spinner->setTextVisible(false);
    spinner->setMaximumWidth(120);
    spinner->setVisible(false);
    validateButton = new QPushButton("Log In");
    validateButton->setDefault(true);
    row->addWidget(allGood);
    row->addStretch(1);
    row->addWidget(spinner);
    row->addWidget(validateButton);
    outer->addLayout(row);
    outer->addStretch(1);

    for (QLineEdit* field : {server, userLogon, password})
        connect(field, &QLineEdit::textEdited, [this] { refreshDisplay(false); });
    connect(validateButton, &QPushButton::clicked, [this] { onClickValidate(); });
    connect(password, &QLineEdit::returnPressed, [this] {
        if (validateButton->isEnabled()) onClickValidate();
    });
    displayDefaultValues();
    refreshDisplay(false);
}

void Authenticate::displayDefaultValues() {
    std::string s = !configuration_.server.empty() ? configuration_.server : credentials_.serverName();
    std::string u = !configuration_.user.empty() ? configuration_.user : credentials_.userName();
    if (!s.empty()) server->setText(q(s));
    if (!u.empty()) userLogon->setText(q(u));
}

void Authenticate::refreshDisplay(bool busy) {
    busy_ = busy;
    if (busy) {
        spinner->setRange(0, 0);
        spinner->setVisible(true);
        validateButton->setEnabled(false);
        server->setEnabled(false);
        userLogon->setEnabled(false);
        password->setEnabled(false);
        return;
    }
    bool required = credentials_.passwordRequired;
    server->setEnabled(configuration_.server.empty() && required);
    userLogon->setEnabled(configuration_.user.empty() && required);
    password->setEnabled(required);
    if (!required) {
        password->setEchoMode(QLineEdit::Normal);
        password->setText("Password Valid");
    } else if (password->echoMode() == QLineEdit::Normal) {
        // The "Password Valid" text is not a password.
        password->clear();
        password->setEchoMode(QLineEdit::Password);
    }
    validateButton->setEnabled(required && !server->text().isEmpty() && !userLogon->text().isEmpty() &&
                               !password->text().isEmpty());
    spinner->setRange(0, 1);
    spinner->setVisible(false);
    allGood->setVisible(!required);
}

void Authenticate::positionCursor() {
    if (!platform::MainQueue::shared().isMainThread()) {
        QPointer<Authenticate> self(this);
        platform::MainQueue::shared().async([self] {
            if (self) self->positionCursor();
        });
        return;
    }
    QLineEdit* focus = password;
    if (userLogon->text().isEmpty()) focus = userLogon;
    if (server->text().isEmpty()) focus = server;
    focus->setFocus();
}

void Authenticate::updateDisplay() {
    refreshDisplay(false);
    positionCursor();
}

void Authenticate::onClickValidate() {
    if (busy_) return;
    refreshDisplay(true);
    std::string s = server->text().trimmed().toStdString();
    std::string u = userLogon->text().trimmed().toStdString();
    std::string p = password->text().toStdString();
    QPointer<Authenticate> self(this);
    // The credentials and the timeline outlive the pane, which may close before the logon ends.
    platform::DispatchQueue::global(platform::QoS::userInitiated)
        .async([self, s, u, p, &credentials = credentials_, &timeline = timeline_] {
            serverError result = credentials.attemptLogin(s, u, p);
            if (result == serverError::noError) {
                credentials.passwordRequired = false;
                saveDetails(credentials.environment().keychainInUse(), s, u, p);
                // The session now belongs to this account: take it as the stored one.
                credentials.fetchKeychainDetails();
                timeline.addSyncFolderEvent("/", true);
                log().logAudit("Logged in as " + u + " to " + s + " from the preferences");
            }
            platform::MainQueue::shared().async([self, result] {
                if (!self) return;
                if (result != serverError::noError)
                    self->displayErrorMessage(ServerCredentials::resultText(result));
                self->refreshDisplay(false);
                self->positionCursor();
            });
        });
}

void Authenticate::displayErrorMessage(const std::string& informative) {
    spinner->setRange(0, 1);
    spinner->setVisible(false);
    runSheet(this, QMessageBox::Warning, std::string(productName) + " Login Error", informative);
}

void Authenticate::saveDetails(platform::keychain::Keychain& keychain, const std::string& s,
                               const std::string& u, const std::string& p) {
    const std::string description = std::string(productName) + " Server Password";
    // One account at a time: what was stored before goes (the uninstaller removes it the same way).
    std::vector<platform::keychain::Item> old;
    if (keychain.findItems(productName, description, old) == platform::keychain::Status::ok) {
        for (const auto& item : old)
            if (keychain.deleteItem(item.service, item.account) == platform::keychain::Status::failed)
                log().logWarning("Remove keychain error " + std::string(keychain.kind()) +
                                 " could not remove " + item.account + " at " + item.service);
    }
    if (keychain.addItem({s, u, productName, description}, p) != platform::keychain::Status::ok)
        log().logFatal("Save credentials error " +
                       std::to_string(static_cast<int>(platform::keychain::Status::failed)));
}

// ---- Settings

Settings::Settings(ServerConfigurationDetails& configuration, const DesktopEnvironment& desktop)
    : configuration_(configuration), desktop_(desktop) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 20, 24, 20);
    outer->setSpacing(14);
    auto* general = new QGroupBox("General");
    auto* g = new QVBoxLayout(general);
    openAtLogin = new QCheckBox("Start Tidewell when I log in");
    dockIcon = new QCheckBox("Show the Tidewell window beside the tray icon");
    g->addWidget(openAtLogin);
    g->addWidget(dockIcon);
    outer->addWidget(general);
    auto* files = new QGroupBox("File manager");
    auto* f = new QVBoxLayout(files);
    iconOverlays = new QCheckBox("Show sync status emblems on files");
    contextMenu = new QCheckBox("Show Tidewell commands in the context menu");
    f->addWidget(iconOverlays);
    f->addWidget(contextMenu);
    outer->addWidget(files);
    auto* recovery = new QGroupBox("Recovery folder");
    auto* r = new QVBoxLayout(recovery);
    auto* hint = new QLabel("Files that cannot be synchronised are kept here.");
    hint->setWordWrap(true);
    r->addWidget(hint);
    auto* row = new QHBoxLayout;
    recoveryFolder = new QLineEdit;
    recoveryFolder->setReadOnly(true);
    setRecoveryLocation = new QPushButton("Change…");
    row->addWidget(recoveryFolder, 1);
    row->addWidget(setRecoveryLocation);
    r->addLayout(row);
    outer->addWidget(recovery);
    outer->addStretch(1);

    auto& c = configuration_;
    setButtonState(contextMenu, c.contextMenu);
    setButtonState(dockIcon, c.dockIcon);
    setButtonState(iconOverlays, c.iconOverlay);
    setButtonState(openAtLogin, c.openAtLogin);
    setRecoveryLocation->setEnabled(c.changeRecoveryLocation);
    showRecoveryFolder(c.currentRecoveryFolder());

    connect(dockIcon, &QCheckBox::clicked, [this] { onClickDockIcon(); });
    connect(openAtLogin, &QCheckBox::clicked, [this] { onClickOpenAtLogon(); });
    connect(iconOverlays, &QCheckBox::clicked, [this] { onClickIconOverLays(); });
    connect(contextMenu, &QCheckBox::clicked, [this] { onClickContextMenu(); });
    connect(setRecoveryLocation, &QPushButton::clicked, [this] { onClickChangeRecoveryLocation(); });
}

void Settings::setButtonState(QCheckBox* box, Options option) {
    bool forced = ServerConfigurationDetails::isForced(option);
    box->setEnabled(!forced);
    box->setChecked(ServerConfigurationDetails::isOn(option));
    box->setToolTip(forced ? controlled : "");
}

void Settings::onClickDockIcon() {
    bool show = dockIcon->isChecked();
    configuration_.enforceDockIcon(show);
    storeUserChoice(Names::dockicon, show);
    if (dockIconChanged_) dockIconChanged_(show);
    window()->raise();
    window()->activateWindow();
}

void Settings::onClickOpenAtLogon() {
    bool on = openAtLogin->isChecked();
    if (!platform::setLoginItemEnabled(ServerConfigurationDetails::kLoginItemIdentifier,
                                       platform::toolPath(ServerConfigurationDetails::kLoginHelperName), on,
                                       "Tidewell"))
        log().logWarning("Could not change whether Tidewell starts at login");
    storeUserChoice(Names::openatlogin, on);
}

void Settings::onClickIconOverLays() {
    bool on = iconOverlays->isChecked();
    storeUserChoice(Names::iconoverlay, on);
    configuration_.enforceIconOverlay(on);
}

void Settings::onClickContextMenu() {
    bool on = contextMenu->isChecked();
    storeUserChoice(Names::contextmenu, on);
    configuration_.enforceContextMenu(on);
}

void Settings::showRecoveryFolder(const std::string& stored) {
    // Shown as the user thinks of it: "~/..." for a folder in the home folder.
    std::string folder = platform::abbreviateTilde(platform::expandTilde(stored));
    recoveryFolder->setText(q(folder));
    recoveryFolder->setToolTip(q(folder));
    recoveryFolder->setCursorPosition(0);
}

void Settings::onClickChangeRecoveryLocation() {
    auto chosen = desktop_.chooseFolder(this, "Select a folder to use for recovery", platform::homeFolder());
    if (!chosen) return;
    if (configuration_.storeRecoveryFolder(*chosen)) {
        showRecoveryFolder(configuration_.currentRecoveryFolder());
        return;
    }
    runSheet(this, QMessageBox::Warning, "Invalid recovery folder location",
             "The folder selected for recovery must be on the local drive within the users home folder.");
}

// ---- About

About::About() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 24, 24, 20);
    outer->setSpacing(8);
    auto* icon = new QLabel;
    icon->setPixmap(applicationIcon().pixmap(64, 64));
    icon->setAlignment(Qt::AlignHCenter);
    outer->addWidget(icon);
    auto* name = new QLabel("Tidewell");
    QFont big = name->font();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    big.setBold(true);
    name->setFont(big);
    name->setAlignment(Qt::AlignHCenter);
    outer->addWidget(name);
    version = new QLabel(q("Version: " + SystemInformation::productVersion()));
    deviceId = new QLabel(q("Device Id: " + SystemInformation::deviceIdentifier()));
    copyright = new QLabel(q(SystemInformation::copyright()));
    for (QLabel* l : {version, deviceId, copyright}) {
        l->setAlignment(Qt::AlignHCenter);
        l->setWordWrap(true);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        outer->addWidget(l);
    }
    copyright->setForegroundRole(QPalette::PlaceholderText);
    outer->addStretch(1);
}

// ---- Uninstall

namespace {

// How one run of the uninstaller ended, as the pane tells it.
struct UninstallResult {
    std::string failure;  // the uninstaller could not do its work at all; empty when it ran
    bool incomplete = false;
    std::string report;  // what it wrote
};

// The tilde form of a folder, as the Settings pane shows it.
std::string shownFolder(const std::string& folder) {
    return platform::abbreviateTilde(platform::expandTilde(folder));
}

std::string outcomeText(const uninstall::Outcome& outcome, bool incomplete, const std::string& failure) {
    std::string text;
    auto paragraph = [&text](const std::string& part) {
        if (part.empty()) return;
        if (!text.empty()) text += "\n\n";
        text += part;
    };
    paragraph(failure);
    if (!outcome.problems.empty()) {
        std::string left = "Not done:";
        for (const auto& p : outcome.problems) left += "\n• " + p;
        paragraph(left);
    } else if (incomplete && failure.empty()) {
        paragraph("Something could not be removed; the log file says what.");
    }
    std::string done;
    for (const auto& d : outcome.done) done += (done.empty() ? "" : "\n") + d;
    paragraph(done);
    if (!outcome.recoveredTo.empty())
        paragraph(std::to_string(outcome.filesRecovered) +
                  (outcome.filesRecovered == 1 ? " file from this computer was"
                                               : " files from this computer were") +
                  " kept in the recovery folder:\n" + shownFolder(outcome.recoveredTo));
    if (text.empty()) paragraph("There was nothing to remove.");
    return text;
}

// Runs the uninstaller at `tool` and reads its report. REQUIRES: not on the main thread.
UninstallResult runUninstaller(const std::string& tool, const std::vector<std::string>& arguments) {
    UninstallResult result;
    std::string listed;
    for (const auto& a : arguments) listed += (listed.empty() ? "" : " ") + a;
    std::error_code ec;
    if (!std::filesystem::exists(tool, ec)) {
        log().logWarning("Uninstall application missing: " + tool);
        log().logWarning("Could not complete uninstall " + listed);
        result.failure = "The uninstaller " + tool + " is missing, so nothing was removed.";
        return result;
    }
    std::vector<std::string> argv{tool};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto run = platform::runProcess(argv, std::chrono::hours(2), true);
    result.report = run.output;
    for (const auto& p : uninstall::parseOutcome(run.output).problems) log().logWarning("Uninstall: " + p);
    // Status 1 is the uninstaller's "something was left", told line by line in its report; anything
    // else means it did not get through its work.
    if (run.started && !run.timedOut && run.exitCode == 1) {
        result.incomplete = true;
    } else if (!run.succeeded()) {
        log().logWarning("The uninstaller ended with status " + std::to_string(run.exitCode) +
                         (run.error.empty() ? "" : ": " + run.error));
        result.failure = "The uninstaller did not finish its work (" +
                         (run.started ? "status " + std::to_string(run.exitCode) : run.error) +
                         "). What it could not remove is still in place; the log file says what.";
    }
    return result;
}

}  // namespace

Uninstall::Uninstall(ServerConfigurationDetails& configuration, const DesktopEnvironment& desktop)
    : configuration_(configuration), desktop_(desktop) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 20, 24, 20);
    outer->setSpacing(10);
    auto* intro = new QLabel(
        "Remove Tidewell from this computer. Syncing stops, the uninstaller runs, Tidewell tells you what "
        "it did and then quits.");
    intro->setWordWrap(true);
    outer->addWidget(intro);
    auto indented = [](QWidget* w) {
        auto* row = new QHBoxLayout;
        row->setContentsMargins(24, 0, 0, 0);
        row->addWidget(w, 1);
        return row;
    };
    auto hint = [](const QString& text) {
        auto* label = new QLabel(text);
        label->setWordWrap(true);
        label->setForegroundRole(QPalette::PlaceholderText);
        return label;
    };
    // The uninstaller cannot take away the program that runs it: it stops the login start and says how
    // the program itself goes (its package, or its folder).
    removeApplication = new QCheckBox("Stop Tidewell starting at login");
    outer->addWidget(removeApplication);
    outer->addLayout(indented(
        hint("The program itself stays installed; you are told how to remove it when the uninstaller "
             "has run.")));
    removeUserData =
        new QCheckBox("Remove the synchronised files from this computer, and the stored password");
    outer->addWidget(removeUserData);
    optionRecover = new QRadioButton("First move every downloaded or changed file to the recovery folder");
    optionForceDelete = new QRadioButton("Delete them without keeping anything");
    optionRecover->setChecked(true);
    auto* group = new QButtonGroup(this);
    group->addButton(optionRecover);
    group->addButton(optionForceDelete);
    outer->addLayout(indented(optionRecover));
    recoveryFolder = hint("");
    recoveryFolder->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* recoveryRow = indented(recoveryFolder);
    recoveryRow->setContentsMargins(48, 0, 0, 0);
    outer->addLayout(recoveryRow);
    outer->addLayout(indented(optionForceDelete));
    outer->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    uninstallButton = new QPushButton("Uninstall…");
    row->addWidget(uninstallButton);
    outer->addLayout(row);

    for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{removeApplication, removeUserData,
                                                                      optionRecover, optionForceDelete})
        connect(b, &QAbstractButton::clicked, [this] { refreshDisplay(); });
    connect(uninstallButton, &QPushButton::clicked, [this] { onClickUninstall(); });
    updateDisplay();
}

void Uninstall::updateDisplay() {
    recoveryFolder->setText(q("Recovery folder: " + shownFolder(configuration_.currentRecoveryFolder())));
    refreshDisplay();
}

void Uninstall::refreshDisplay() {
    auto& c = configuration_;
    if (!c.allowUninstallApplication) {
        removeApplication->setEnabled(false);
        removeApplication->setChecked(false);
        removeApplication->setToolTip(Settings::controlled);
    }
    if (!c.allowUninstallData) {
        removeUserData->setEnabled(false);
        removeUserData->setChecked(false);
        removeUserData->setToolTip(Settings::controlled);
    }
    optionForceDelete->setEnabled(removeUserData->isChecked());
    optionRecover->setEnabled(removeUserData->isChecked());
    recoveryFolder->setEnabled(removeUserData->isChecked() && optionRecover->isChecked());
    uninstallButton->setEnabled(removeUserData->isChecked() || removeApplication->isChecked());
}

std::vector<std::string> Uninstall::arguments() const {
    std::vector<std::string> args;
    if (removeApplication->isChecked()) args.push_back("--application");
    if (removeUserData->isChecked())
        args.push_back(optionForceDelete->isChecked() ? "--data:Force" : "--data:Recover");
    return args;
}

void Uninstall::onClickUninstall() {
    if (removeUserData->isChecked() && optionForceDelete->isChecked()) {
        int answer =
            runSheet(this, QMessageBox::Warning, "Possible Data Loss",
                     "Force deleting the local data may lead to data loss if changes have not been "
                     "saved back to the Tidewell server. Are you sure you wish to force delete local "
                     "files?",
                     {"Cancel Uninstall", "Force Delete"});
        if (answer != 1) return;
    }
    auto args = arguments();
    if (args.empty()) return;
    performUninstall(args);
}

std::unique_ptr<QMessageBox> Uninstall::outcomeAlert(QWidget* parent, const std::string& report,
                                                     bool incomplete, const std::string& failure,
                                                     QPushButton** open) {
    const auto outcome = uninstall::parseOutcome(report);
    const bool failed = !failure.empty() || incomplete;
    auto box = std::make_unique<QMessageBox>(failed ? QMessageBox::Critical : QMessageBox::Information,
                                             "Tidewell", failed ? incompleteTitle : finishedTitle,
                                             QMessageBox::NoButton, parent ? parent->window() : nullptr);
    box->setInformativeText(q(outcomeText(outcome, incomplete, failure)));
    box->setWindowModality(Qt::WindowModal);
    // The report holds a command to type and a folder to find: both can be copied, and lines as wide
    // as the uninstaller's longest fit without breaking the command in two.
    for (auto* label : box->findChildren<QLabel*>())
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (auto* informative = box->findChild<QLabel*>("qt_msgbox_informativelabel"))
        informative->setMinimumWidth(informative->fontMetrics().averageCharWidth() * 80);
    *open = nullptr;
    std::error_code ec;
    if (!outcome.recoveredTo.empty() && std::filesystem::is_directory(outcome.recoveredTo, ec))
        *open = box->addButton(openRecoveryTitle, QMessageBox::ActionRole);
    box->setDefaultButton(box->addButton(QMessageBox::Ok));
    return box;
}

void Uninstall::performUninstall(const std::vector<std::string>& arguments) {
    busy_ = new BusySpinner(window(), "Uninstalling Tidewell…");
    busy_->setAttribute(Qt::WA_DeleteOnClose);
    busy_->show();
    for (QWidget* w : std::initializer_list<QWidget*>{uninstallButton, removeApplication, removeUserData,
                                                      optionForceDelete, optionRecover})
        w->setEnabled(false);
    QPointer<Uninstall> self(this);
    QPointer<BusySpinner> spinner(busy_);
    // A copy: the worker may outlive the window.
    DesktopEnvironment env = desktop_;
    std::string tool = uninstallerPath(env);
    platform::DispatchQueue::global(platform::QoS::userInitiated)
        .async([self, spinner, env, tool, arguments] {
            if (env.shutdown) env.shutdown();
            // The shutdown leaves in-location folders guarded; the uninstaller can only remove or
            // recover what is no longer mounted.
            bool removesData = std::any_of(arguments.begin(), arguments.end(),
                                           [](const std::string& a) { return a.starts_with("--data"); });
            if (removesData && env.detachInLocationFolders) env.detachInLocationFolders();
            UninstallResult result = runUninstaller(tool, arguments);
            std::this_thread::sleep_for(env.uninstallGrace);
            platform::MainQueue::shared().async([self, spinner, env, result] {
                if (spinner) spinner->close();
                // Told before the application goes: what was removed, what is left for the user to
                // do, and where the kept files are.
                QPushButton* open = nullptr;
                auto alert = outcomeAlert(self, result.report, result.incomplete, result.failure, &open);
                QPointer<QMessageBox> stillThere(alert.get());
                alert->exec();
                // The preferences window deletes its children when it goes; then so has the alert.
                if (!stillThere) (void)alert.release();
                const bool openFolder = stillThere && open && alert->clickedButton() == open;
                if (openFolder && env.openUrl)
                    env.openUrl(QUrl::fromLocalFile(q(uninstall::parseOutcome(result.report).recoveredTo))
                                    .toString()
                                    .toStdString());
                if (env.terminate) env.terminate();
            });
        });
}

// ---- Preferences

Preferences::Preferences(const EngineParts& parts, const DesktopEnvironment& desktop) {
    setWindowTitle("Tidewell Preferences");
    setWindowIcon(applicationIcon());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    tabView = new QTabWidget;
    settings = new Settings(parts.configuration, desktop);
    uninstall = new Uninstall(parts.configuration, desktop);
    authenticate = new Authenticate(parts.configuration, parts.credentials, parts.timeline);
    about = new About;
    tabView->insertTab(kSettingsTab, settings, "Settings");
    tabView->insertTab(kUninstallTab, uninstall, "Uninstall");
    tabView->insertTab(kLoginTab, authenticate, "Account");
    tabView->insertTab(kAboutTab, about, "About");
    layout->addWidget(tabView);
    resize(520, 420);
    connect(tabView, &QTabWidget::currentChanged, [this](int index) {
        activeTab = index;
        if (auto* pane = dynamic_cast<PaneBase*>(tabView->widget(index))) pane->updateDisplay();
    });
}

void Preferences::load() {
    show();
    raise();
    activateWindow();
    activateTab(activeTab);
}

void Preferences::activateTab(int index) {
    activeTab = index;
    if (tabView->currentIndex() != index)
        tabView->setCurrentIndex(index);  // the tab's handler updates the pane
    else if (auto* pane = dynamic_cast<PaneBase*>(tabView->widget(index)))
        pane->updateDisplay();
}

}  // namespace tw::ui
