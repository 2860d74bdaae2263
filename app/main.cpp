// brantlow: the wizard.
//   brantlow [IMAGE...]   images are listed under the physical drives
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/Startup.h"
#include "base/version.h"
#include "platform/enumerate.h"
#include "platform/files.h"
#include "platform/heap.h"
#include "ui/QtMessageSink.h"

int main(int argc, char** argv) {
    brantlow::platform::prepareHeapForLargeTables();
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("brantlow %s\n", BRANTLOW_VERSION);
            return 0;
        }
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::printf("Usage: brantlow [IMAGE...]\n"
                        "Recovers deleted files from disks and disk images (read-only).\n"
                        "Disks need root rights or membership of the \"disk\" group; images listed here\n"
                        "appear under PHYSICAL DRIVES.\n"
                        "\n"
                        "  -h, --help   print this help and exit\n"
                        "  --version    print the version and exit\n"
                        "\n"
                        "The same engine without a display is brantlow-cli (see brantlow-cli --help).\n");
            return 0;
        }
    }
    QApplication app(argc, argv);
    brantlow::gui::configureApplication(app);
    // Pages show their own boxes. This sink serves what still reports
    // through the program-wide sink (the raw recovery page): its boxes go
    // to the page shown at the time.
    brantlow::gui::QtMessageSink shownPageBoxes;
    brantlow::setMessageSink(&shownPageBoxes);

    // One instance at a time; the lock is held until the program ends.
    const int lockFd =
        brantlow::gui::takeSingleInstance(brantlow::platform::defaultInstanceLockPath(), shownPageBoxes);
    if (lockFd == -1) {
        brantlow::setMessageSink(nullptr);
        return 0;
    }

    brantlow::gui::installWizardHooks();
    auto* first = brantlow::gui::createFirstPage(brantlow::gui::systemDriveSources(),
                                                 QApplication::arguments().mid(1));
    first->show();
    const int rc = app.exec();
    delete first;
    brantlow::setMessageSink(nullptr);
    brantlow::platform::closeDescriptor(lockFd);
    return rc;
}
