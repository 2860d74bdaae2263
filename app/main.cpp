// brantlow: the wizard.
#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>

#include "app/QtMessageSink.h"
#include "app/WizardPage.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    brantlow::gui::QtMessageSink sink;
    brantlow::setMessageSink(&sink);
    auto* first = new brantlow::gui::WizardPage("Brantlow");
    auto* l = new QVBoxLayout(first->content());
    l->addWidget(new QLabel("Drives and volumes"));
    first->show();
    int rc = app.exec();
    brantlow::setMessageSink(nullptr);
    return rc;
}
