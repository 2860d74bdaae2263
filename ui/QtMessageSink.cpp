#include "ui/QtMessageSink.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include "ui/WizardPage.h"

namespace brantlow::gui {

namespace {
template <typename F>
void onGuiThread(F&& f) {
    if (QThread::currentThread() == qApp->thread())
        f();
    else
        QMetaObject::invokeMethod(qApp, std::forward<F>(f), Qt::BlockingQueuedConnection);
}
}  // namespace

void QtMessageSink::info(const std::string& text) {
    onGuiThread([&] {
        QMessageBox::information(QApplication::activeWindow(), kCaption, QString::fromStdString(text));
    });
}

bool QtMessageSink::question(const std::string& text) {
    bool yes = false;
    onGuiThread([&] {
        yes = QMessageBox::question(QApplication::activeWindow(), kCaption, QString::fromStdString(text),
                                    QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    });
    return yes;
}

}  // namespace brantlow::gui
