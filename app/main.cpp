// brantlow: the wizard.
//   brantlow [IMAGE...]   images are listed under the physical drives
#include <QApplication>
#include <QFileInfo>
#include <QStyleFactory>
#include <cstdio>
#include <cstring>
#include <string>

#include "ui/QtMessageSink.h"
#include "app/Startup.h"
#include "platform/enumerate.h"
#include "platform/files.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::printf("usage: brantlow [IMAGE...]\n"
                        "Recovers deleted files from disks and disk images (read-only).\n"
                        "Disks need root rights or membership of the \"disk\" group; images listed here\n"
                        "appear under PHYSICAL DRIVES.\n");
            return 0;
        }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Brantlow");
    if (QStyle* fusion = QStyleFactory::create("Fusion")) QApplication::setStyle(fusion);
    brantlow::gui::QtMessageSink sink;
    brantlow::setMessageSink(&sink);

    // One instance at a time; the lock is held until the program ends.
    const int lockFd = brantlow::gui::takeSingleInstance(brantlow::platform::defaultInstanceLockPath());
    if (lockFd == -1) {
        brantlow::setMessageSink(nullptr);
        return 0;
    }

    QStringList images;
    for (const QString& a : QApplication::arguments().mid(1)) {
        if (!QFileInfo(a).isFile() && !QFileInfo(a).exists()) {
            std::fprintf(stderr, "brantlow: %s: no such file\n", qPrintable(a));
            continue;
        }
        images << a;
    }
    brantlow::gui::installWizardHooks();
    auto* first = brantlow::gui::createFirstPage(brantlow::gui::systemDriveSources(), images);
    first->show();
    const int rc = app.exec();
    delete first;
    brantlow::setMessageSink(nullptr);
    brantlow::platform::closeDescriptor(lockFd);
    return rc;
}
