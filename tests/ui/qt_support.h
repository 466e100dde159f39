// The Qt side of the desktop tests: one QApplication on the offscreen platform for the process, with
// the engine's main queue drained from its loop, and helpers that wait for windows and answer the
// modal ones a test opens.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "Pinewick/ui/DesktopShell.h"
#include "platform/dispatch.h"

namespace tw::test {

inline QApplication& qtApp() {
    static QApplication* app = [] {
        if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "ui_tests";
        static char* argv[] = {name, nullptr};
        auto* a = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        ui::DesktopShell::attachMainQueue();
        return a;
    }();
    return *app;
}

// Runs Qt's events and the main queue until `done` holds or `timeout` passes; whether it held.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        platform::MainQueue::shared().drainMainQueue();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// What a modal alert said, once a test answered it. Dropping it stops waiting for the alert, so a
// test that saw none leaves nothing behind that could answer the next test's alert.
struct SeenAlert {
    SeenAlert() = default;
    SeenAlert(const SeenAlert&) = delete;
    SeenAlert& operator=(const SeenAlert&) = delete;
    ~SeenAlert() { delete waiting.data(); }
    bool seen = false;
    std::string text;
    std::string informative;
    std::vector<std::string> buttons;  // in the order the dialog lays them out
    std::string defaultButton;
    QPointer<QTimer> waiting;
};

// Answers the next modal message box (from inside its own loop) by clicking the button titled
// `button` ("" for the default one), and records what it said.
inline void answerNextAlert(SeenAlert* seen, const std::string& button = "") {
    auto* timer = new QTimer;
    seen->waiting = timer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, seen, button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        timer->stop();
        timer->deleteLater();
        seen->seen = true;
        seen->text = box->text().toStdString();
        seen->informative = box->informativeText().toStdString();
        QAbstractButton* chosen = box->defaultButton();
        if (chosen) seen->defaultButton = chosen->text().toStdString();
        for (QAbstractButton* b : box->buttons()) {
            seen->buttons.push_back(b->text().toStdString());
            if (!button.empty() && b->text().toStdString() == button) chosen = b;
        }
        chosen->click();
    });
    timer->start();
}

// Runs `act` on the next modal widget of type T once it is shown (from inside its own loop).
template <typename T>
void whenModal(std::function<void(T*)> act) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        auto* w = dynamic_cast<T*>(QApplication::activeModalWidget());
        if (!w || !w->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        act(w);
    });
    timer->start();
}

}  // namespace tw::test
