#include "app/Startup.h"

#include <QApplication>
#include <QFileInfo>
#include <QStyleFactory>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/CBrantlowAboutDlg.h"
#include "ui/CurrentSource.h"
#include "platform/enumerate.h"
#include "raw/gui/RawRecoveryPage.h"
#include "scan/gui/VolumeScanDlg.h"

namespace brantlow::gui {

int takeSingleInstance(const std::string& lockPath, MessageSink& boxes) {
    const int fd = platform::acquireInstanceLock(lockPath);
    if (fd == -1) {
        boxes.info(kAnotherInstance);
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

void configureApplication(QApplication& app) {
    QApplication::setApplicationName("Brantlow");
    if (QStyle* fusion = QStyleFactory::create("Fusion")) QApplication::setStyle(fusion);
    app.setQuitOnLastWindowClosed(false);
}

Physical_DriveDialog* createFirstPage(const DriveSources& sources, const QStringList& images) {
    closeCurrentSource();
    auto* first = new Physical_DriveDialog(sources);
    for (const QString& img : images) {
        if (!QFileInfo::exists(img)) {
            int err = ENOENT;
            platform::canOpenForReading(QFile::encodeName(img).toStdString(), &err);
            std::fprintf(stderr, "brantlow: %s: %s\n", qPrintable(img), std::strerror(err));
            first->addMissing(img, QString::fromLocal8Bit(std::strerror(err)));
            continue;
        }
        first->addImage(img);
    }
    return first;
}

}  // namespace brantlow::gui
