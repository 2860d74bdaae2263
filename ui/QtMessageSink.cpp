#include "ui/QtMessageSink.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include "ui/WizardPage.h"

namespace brantlow::gui {

namespace {

BoxPresenter* g_presenter = nullptr;

template <typename F>
void onGuiThread(F&& f) {
    if (QThread::currentThread() == qApp->thread())
        f();
    else
        QMetaObject::invokeMethod(qApp, std::forward<F>(f), Qt::BlockingQueuedConnection);
}

}  // namespace

BoxPresenter* setBoxPresenter(BoxPresenter* presenter) {
    BoxPresenter* previous = g_presenter;
    g_presenter = presenter;
    return previous;
}

QWidget* shownPage() {
    QWidget* active = QApplication::activeWindow();
    if (qobject_cast<WizardPage*>(active) && active->isVisible()) return active;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<WizardPage*>(w) && w->isVisible() && !w->isMinimized()) return w;
    return nullptr;
}

QWidget* QtMessageSink::boxParent() const { return page_ ? page_.data() : shownPage(); }

void QtMessageSink::info(const std::string& text) {
    onGuiThread([&] {
        QWidget* parent = boxParent();
        const QString t = QString::fromStdString(text);
        if (g_presenter) {
            g_presenter->info(parent, t);
            return;
        }
        QMessageBox box(QMessageBox::Information, kCaption, t, QMessageBox::Ok, parent);
        box.exec();
    });
}

void QtMessageSink::warning(const std::string& text) {
    onGuiThread([&] {
        QWidget* parent = boxParent();
        const QString t = QString::fromStdString(text);
        if (g_presenter) {
            g_presenter->warning(parent, t);
            return;
        }
        QMessageBox box(QMessageBox::Warning, kCaption, t, QMessageBox::Ok, parent);
        box.exec();
    });
}

bool QtMessageSink::closeQuestion(const std::string& text, const std::string& note) {
    bool yes = false;
    onGuiThread([&] {
        QWidget* parent = boxParent();
        const QString t = QString::fromStdString(text), n = QString::fromStdString(note);
        if (g_presenter) {
            yes = g_presenter->closeQuestion(parent, t, n);
            return;
        }
        QMessageBox box(QMessageBox::Question, kCaption, t, QMessageBox::Yes | QMessageBox::No, parent);
        box.setObjectName("closeQuestion");
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        if (!n.isEmpty()) box.setInformativeText(n);
        yes = box.exec() == QMessageBox::Yes;
    });
    return yes;
}

bool QtMessageSink::question(const std::string& text) {
    bool yes = false;
    onGuiThread([&] {
        QWidget* parent = boxParent();
        const QString t = QString::fromStdString(text);
        if (g_presenter) {
            yes = g_presenter->question(parent, t);
            return;
        }
        QMessageBox box(QMessageBox::Question, kCaption, t, QMessageBox::Yes | QMessageBox::No, parent);
        yes = box.exec() == QMessageBox::Yes;
    });
    return yes;
}

}  // namespace brantlow::gui
