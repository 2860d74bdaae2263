#include "app/Startup.h"

#include <QFileInfo>
#include <cstdio>

#include "app/CBrantlowAboutDlg.h"
#include "ui/CurrentSource.h"
#include "platform/enumerate.h"
#include "raw/gui/RawRecoveryPage.h"
#include "scan/gui/VolumeScanDlg.h"

namespace brantlow::gui {

int takeSingleInstance(const std::string& lockPath) {
    const int fd = platform::acquireInstanceLock(lockPath);
    if (fd == -1) {
        messageSink().info(kAnotherInstance);
        return -1;
    }
    if (fd == -2) std::fprintf(stderr, "brantlow: cannot use the lock file %s; not checking for another instance\n",
                               lockPath.c_str());
    return fd;
}

void installWizardHooks() {
    registerScanPage();
    registerRawPage();
    setAboutBoxHandler([](QWidget* page) {
        CBrantlowAboutDlg box(page);
        box.exec();
    });
}

Physical_DriveDialog* createFirstPage(const DriveSources& sources, const QStringList& images) {
    closeCurrentSource();
    auto* first = new Physical_DriveDialog(sources);
    for (const QString& img : images) first->addImage(img);
    return first;
}

}  // namespace brantlow::gui
