// First page: the mounted volumes and the physical drives, plus disk images
// the operator opens.
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cerrno>

#include "app/ImagingPage.h"
#include "app/Pages.h"
#include "app/RaidParametersDialog.h"
#include "base/texts.h"
#include "disk/source.h"
#include "scan/volumes.h"
#include "fs/filesystems.h"
#include "raw/gui/RawRecoveryPage.h"
#include "raw/gui/RawRecoveryDialog.h"
#include "scan/gui/VolumeScanDlg.h"
#include "scan/session/session_files.h"
#include "ui/CurrentSource.h"

namespace brantlow::gui {

namespace {
constexpr int kKindRole = Qt::UserRole;       // "volume" or "drive"
constexpr int kDataRole = Qt::UserRole + 1;   // volume: index; drive: device or image path

QString trimmedLeft(const QString& s) {
    int i = 0;
    while (i < s.size() && s[i].isSpace()) ++i;
    return s.mid(i);
}
}  // namespace

DriveSources systemDriveSources() {
    DriveSources s;
    s.drives = platform::listDrives();
    for (const auto& d : s.drives) {
        int err = 0;
        if (!platform::canOpenForReading(d.devicePath, &err) && (err == EACCES || err == EPERM))
            s.devicesReadable = false;
    }
    auto probe = [](const std::string& dev) {
        platform::DeviceProbe p;
        if (!platform::canOpenForReading(dev)) return p;
        auto r = openSourceReader(dev, nullptr, &volumeProbeTable());
        if (!r) return p;
        p.opened = true;
        p.sizeBytes = r->sizeBytes();
        p.fileSystem = identifyVolume(*r, 0, probeTable()).fileSystem;
        return p;
    };
    s.volumes = platform::volumesFromMounts(platform::parseMountInfo(platform::readTextFile("/proc/self/mountinfo")),
                                            probe, platform::resolvePath, fileSystemForMountType);
    return s;
}

Physical_DriveDialog::Physical_DriveDialog(const DriveSources& sources, QWidget* parent)
    : WizardPage("Select a Volume or a Physical Drive", parent) {
    setObjectName("Physical_DriveDialog");
    auto* lay = new QVBoxLayout(content());
    lay->setContentsMargins(18, 12, 18, 4);

    tree_ = new QTreeWidget(content());
    tree_->setObjectName("driveTree");
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    tree_->setIconSize(QSize(16, 16));
    lay->addWidget(tree_, 1);

    volumesRoot_ = new QTreeWidgetItem(tree_, QStringList{"     VOLUMES:"});
    drivesRoot_ = new QTreeWidgetItem(tree_, QStringList{"     PHYSICAL DRIVES:"});
    QFont rootFont = tree_->font();
    rootFont.setBold(true);
    volumesRoot_->setFont(0, rootFont);
    drivesRoot_->setFont(0, rootFont);
    volumesRoot_->setIcon(0, style()->standardIcon(QStyle::SP_ComputerIcon));
    drivesRoot_->setIcon(0, style()->standardIcon(QStyle::SP_ComputerIcon));
    const QIcon driveIcon = style()->standardIcon(QStyle::SP_DriveHDIcon);
    const QIcon volumeIcon = style()->standardIcon(QStyle::SP_DirIcon);

    for (const auto& d : sources.drives) {
        auto* it = new QTreeWidgetItem(drivesRoot_, QStringList{QString::fromStdString(d.itemText())});
        it->setIcon(0, driveIcon);
        it->setData(0, kKindRole, "drive");
        it->setData(0, kDataRole, QString::fromStdString(d.devicePath));
        it->setToolTip(0, QString::fromStdString(d.devicePath));
        it->setFlags(it->flags() | Qt::ItemIsUserCheckable);
        it->setCheckState(0, Qt::Unchecked);
    }
    for (const auto& v : sources.volumes) {
        VolumeEntry e;
        e.fileSystem = v.fileSystem;
        e.rootPath = v.rootPath;
        e.volumeNumber = v.devicePath;
        e.sizeText = v.sizeText;
        e.startSector = 0;
        e.sizeSectors = v.sizeBytes / 512;
        const int index = static_cast<int>(volumes_.size());
        volumes_.push_back(e);
        auto* it = new QTreeWidgetItem(volumesRoot_, QStringList{QString::fromStdString(e.rootPath)});
        it->setIcon(0, volumeIcon);
        it->setData(0, kKindRole, "volume");
        it->setData(0, kDataRole, index);
        it->setToolTip(0, QString::fromStdString(e.volumeNumber + "  " + e.fileSystem));
    }
    tree_->expandAll();

    // The sessions kept of the selected drive or image.
    sessionsCaption_ = new QLabel("Scans kept of this drive (reopen one instead of scanning again):", content());
    lay->addWidget(sessionsCaption_);
    auto* sessionRow = new QHBoxLayout;
    sessions_ = new QListWidget(content());
    sessions_->setObjectName("sessionList");
    sessions_->setMaximumHeight(96);
    sessionRow->addWidget(sessions_, 1);
    reopen_ = new QPushButton("Reopen Scan", content());
    reopen_->setObjectName("reopenScan");
    reopen_->setAutoDefault(false);
    reopen_->setToolTip("Show the highlighted scan without reading the disk again (a carve cut short goes on where it "
                        "stopped)");
    sessionRow->addWidget(reopen_, 0, Qt::AlignTop);
    lay->addLayout(sessionRow);
    sessionFolder_ = QString::fromStdString(session::wizardSessionFolder());

    auto* row = new QHBoxLayout;
    notice_ = new QLabel(kNoDeviceAccess, content());
    notice_->setObjectName("noDeviceAccess");
    notice_->setVisible(!sources.devicesReadable);
    QPalette pal = notice_->palette();
    pal.setColor(QPalette::WindowText, QColor(0x9a, 0x4a, 0x00));
    notice_->setPalette(pal);
    notice_->setWordWrap(true);
    lay->addWidget(notice_);
    missing_ = new QLabel(content());
    missing_->setObjectName("missingImages");
    missing_->setPalette(pal);
    missing_->setWordWrap(true);
    missing_->setTextFormat(Qt::PlainText);
    missing_->hide();
    lay->addWidget(missing_);
    row->addStretch(1);
    imageFirst_ = new QPushButton(QString::fromUtf8("Image the disk first\u2026"), content());
    imageFirst_->setObjectName("imageFirst");
    imageFirst_->setAutoDefault(false);
    imageFirst_->setToolTip("A failing disk: copy it once to an image file, good areas first, with a map of what "
                            "was read; then recover from the image.");
    row->addWidget(imageFirst_, 0, Qt::AlignRight);
    assemble_ = new QPushButton("Assemble RAID", content());
    assemble_->setObjectName("assembleRaid");
    assemble_->setAutoDefault(false);
    assemble_->setEnabled(false);
    assemble_->setToolTip("Tick two or more drives or images that belong together (the members of a RAID set, the "
                          "disks of a volume group) and put them together as one drive.");
    row->addWidget(assemble_, 0, Qt::AlignRight);
    openImage_ = new QPushButton(QString::fromUtf8("Open Disk Image\u2026"), content());
    openImage_->setObjectName("openImage");
    openImage_->setAutoDefault(false);
    openImage_->setToolTip("Add a disk or volume image file to the physical drives.");
    row->addWidget(openImage_, 0, Qt::AlignRight);
    lay->addLayout(row);

    connect(openImage_, &QPushButton::clicked, this, &Physical_DriveDialog::onOpenImage);
    connect(imageFirst_, &QPushButton::clicked, this, &Physical_DriveDialog::onImageFirst);
    connect(assemble_, &QPushButton::clicked, this, &Physical_DriveDialog::onAssemble);
    connect(tree_, &QTreeWidget::itemChanged, this, [this] { updateAssemble(); });
    connect(tree_, &QTreeWidget::currentItemChanged, this, [this] { refreshSessions(); });
    connect(reopen_, &QPushButton::clicked, this, &Physical_DriveDialog::reopenSession);
    connect(sessions_, &QListWidget::itemDoubleClicked, this, [this] { reopenSession(); });
    refreshSessions();
    connect(this, &WizardPage::nextRequested, this, &Physical_DriveDialog::onNext);
}

Physical_DriveDialog::~Physical_DriveDialog() { closeCurrentSource(); }

void Physical_DriveDialog::addImage(const QString& path) { addImage(path, QString()); }

void Physical_DriveDialog::addImage(const QString& path, const QString& mapPath) {
    const QString abs = QFileInfo(path).absoluteFilePath();
    setSourceMap(abs.toStdString(), mapPath.isEmpty() ? std::string() : QFileInfo(mapPath).absoluteFilePath().toStdString());
    auto* it = new QTreeWidgetItem(drivesRoot_, QStringList{abs});
    it->setIcon(0, style()->standardIcon(QStyle::SP_FileIcon));
    it->setData(0, kKindRole, "drive");
    it->setData(0, kDataRole, abs);
    it->setToolTip(0, mapPath.isEmpty() ? QString("Disk image") : "Disk image, read through the map " + mapPath);
    it->setFlags(it->flags() | Qt::ItemIsUserCheckable);
    it->setCheckState(0, Qt::Unchecked);
    drivesRoot_->setExpanded(true);
    tree_->setCurrentItem(it);
}

void Physical_DriveDialog::setTicked(const QString& path, bool ticked) {
    for (int i = 0; i < drivesRoot_->childCount(); ++i) {
        QTreeWidgetItem* it = drivesRoot_->child(i);
        if (it->data(0, kDataRole).toString() == path) it->setCheckState(0, ticked ? Qt::Checked : Qt::Unchecked);
    }
}

void Physical_DriveDialog::updateAssemble() {
    int ticked = 0;
    for (int i = 0; i < drivesRoot_->childCount(); ++i)
        ticked += drivesRoot_->child(i)->checkState(0) == Qt::Checked ? 1 : 0;
    assemble_->setEnabled(ticked >= 2);
}

void Physical_DriveDialog::addAssembled(const AssembledDisk& d) {
    const QString name = QString::fromStdString(registerAssembledSource(d.reader));
    auto* it = new QTreeWidgetItem(drivesRoot_, QStringList{QString::fromStdString(d.description)});
    it->setIcon(0, style()->standardIcon(QStyle::SP_DriveNetIcon));
    it->setData(0, kKindRole, "drive");
    it->setData(0, kDataRole, name);
    it->setToolTip(0, QString::fromStdString(d.description));
    drivesRoot_->setExpanded(true);
    tree_->setCurrentItem(it);
}

void Physical_DriveDialog::onAssemble() {
    std::vector<std::shared_ptr<readWriteInterface>> readers;
    std::vector<std::string> names;
    for (int i = 0; i < drivesRoot_->childCount(); ++i) {
        QTreeWidgetItem* it = drivesRoot_->child(i);
        if (it->checkState(0) != Qt::Checked) continue;
        const std::string path = it->data(0, kDataRole).toString().toStdString();
        SourceError why;
        auto r = openSourceReader(path, &why, &volumeProbeTable());
        if (!r) {
            messages().info(path + " cannot be read: " + (why.text.empty() ? "invalid handle ..." : why.text));
            return;
        }
        readers.push_back(std::move(r));
        // An image by its file name, a drive by its row.
        const QString text = it->text(0);
        names.push_back((QFileInfo(text).isAbsolute() ? QFileInfo(text).fileName() : text).toStdString());
    }
    if (readers.size() < 2) return;
    const Assembly a = assembleSources(readers, names);
    for (const AssembledDisk& d : a.disks) addAssembled(d);
    std::string notes;
    for (const std::string& n : a.notes) notes += n + "\n";
    if (!a.disks.empty()) {
        if (!notes.empty()) messages().info(notes);
        return;
    }
    if (!messages().question(notes + "The ticked drives make no set by their metadata. Look for the way they fit "
                                     "together as a RAID set without metadata?"))
        return;
    auto* box = new RaidParametersDialog(readers, names, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QDialog::accepted, this, [this, box] { addAssembled(box->assembled()); });
    box->open();
    box->startSearch();
}

void Physical_DriveDialog::addMissing(const QString& path, const QString& reason) {
    QString line = QString("Image not found: %1 (%2)").arg(path, reason);
    missing_->setText(missing_->text().isEmpty() ? line : missing_->text() + "\n" + line);
    missing_->show();
}

void Physical_DriveDialog::onOpenImage() {
    const QString path = QFileDialog::getOpenFileName(this, "Open Disk Image", QString(),
                                                      "Disk images (*.img *.dd *.raw *.bin *.iso *.001 *.aa *.E01 *.e01 *.vhd *.vhdx *.vmdk *.qcow2 *.qcow);;"
                                                      "All files (*)");
    if (path.isEmpty()) return;
    // An image made with a ddrescue map is read through it when the
    // operator says so.
    const QString map = mapBesideImage(path);
    if (!map.isEmpty() && messages().question(mapQuestion(map).toStdString())) return addImage(path, map);
    addImage(path);
}

void Physical_DriveDialog::setSessionFolder(const QString& folder) {
    sessionFolder_ = folder;
    refreshSessions();
}

void Physical_DriveDialog::refreshSessions() {
    sessions_->clear();
    const std::string path = selectedDrivePath().toStdString();
    std::vector<session::SessionSummary> found;
    if (!path.empty() && !sessionFolder_.isEmpty()) found = session::sessionsForPath(sessionFolder_.toStdString(), path);
    if (!found.empty()) {
        // Only those of a source of this size (its bytes are checked when one is opened).
        auto r = openSourceReader(path, nullptr, &volumeProbeTable());
        const uint64_t size = r ? r->sizeBytes() : 0;
        for (const auto& s : found) {
            if (!r || !session::sessionMatchesSource(s, path, size)) continue;
            if (s.kind == session::SessionKind::SectorScan) continue;  // the command-line tool's
            auto* it = new QListWidgetItem(QString::fromStdString(session::sessionOfferText(s)), sessions_);
            it->setData(Qt::UserRole, QString::fromStdString(s.path));
            it->setToolTip(QString::fromStdString(s.path));
        }
    }
    if (sessions_->count()) sessions_->setCurrentRow(0);
    const bool any = sessions_->count() > 0;
    sessionsCaption_->setVisible(any);
    sessions_->setVisible(any);
    reopen_->setVisible(any);
}

void Physical_DriveDialog::reopenSession() {
    QListWidgetItem* item = sessions_->currentItem();
    const QString drive = selectedDrivePath();
    if (!item || drive.isEmpty()) return;
    const std::string path = item->data(Qt::UserRole).toString().toStdString();
    session::SessionSummary s;
    session::Refusal refusal;
    std::string why;
    if (!session::peekSession(path, s, refusal, why)) {
        messages().info("The session " + path + " " + why + "; it is left as it is.");
        return refreshSessions();
    }
    if (!openCurrentSource(drive.toStdString(), messages(), volumeProbeTable())) return;
    if (s.kind == session::SessionKind::Listing) {
        VolumeScanDlg::Options o;
        o.sessionFolder = sessionFolder_.toStdString();
        VolumeScanDlg* page = VolumeScanDlg::openSession(this, path, g_deviceReader, drive.toStdString(), nullptr, o, why);
        if (!page) return messages().info("The session " + path + " " + why + "; it is left as it is.");
        return openNext(page);
    }
    if (!s.hasVolume || s.layered) {
        return messages().info("The session " + path +
                               " does not say which volume it carved, or the volume lies inside an encrypted or "
                               "logical volume: choose the volume on the volume list and use Open Scan there.");
    }
    VolumeEntry v;
    v.volumeNumber = s.volume;
    v.fileSystem = s.fileSystem;
    v.startSector = s.startSector;
    v.sizeSectors = s.sizeSectors;
    v.sizeText = formatSizeText(s.sizeSectors * 512);
    auto* page = new RawRecoveryPage(this, v);
    openNext(page);
    page->dialog()->openSession(QString::fromStdString(path));
}

QString mapQuestion(const QString& map) {
    return "A ddrescue map lies beside this image:\n" + map +
           "\nRead the image through it? Sectors the map does not mark finished then read as unreadable, and files "
           "on them are marked.";
}

void Physical_DriveDialog::onImageFirst() {
    const QString drive = selectedDrivePath();
    if (drive.isEmpty()) {
        messages().info("Please select a volume or a drive..");
        return;
    }
    openNext(new ImagingPage(drive, this));
}

const VolumeEntry* Physical_DriveDialog::selectedVolume() const {
    QTreeWidgetItem* it = tree_->currentItem();
    if (!it || it->data(0, kKindRole).toString() != "volume") return nullptr;
    bool ok = false;
    const int i = it->data(0, kDataRole).toInt(&ok);
    if (!ok || i < 0 || static_cast<size_t>(i) >= volumes_.size()) return nullptr;
    return &volumes_[static_cast<size_t>(i)];
}

QString Physical_DriveDialog::selectedDrivePath() const {
    QTreeWidgetItem* it = tree_->currentItem();
    if (!it || it->data(0, kKindRole).toString() != "drive") return {};
    return it->data(0, kDataRole).toString();
}

void Physical_DriveDialog::onNext() {
    QTreeWidgetItem* it = tree_->currentItem();
    const QString parentText = it && it->parent() ? trimmedLeft(it->parent()->text(0)) : QString();
    if (parentText != "VOLUMES:" && parentText != "PHYSICAL DRIVES:") {
        messages().info("Please select a volume or a drive..");
        return;
    }
    if (parentText == "VOLUMES:") {
        const VolumeEntry* v = selectedVolume();
        if (!v) return;
        openNext(new VolumeOperations(*v, this));
    } else {
        openNext(new DriveParsingModes(selectedDrivePath(), this));
    }
}

}  // namespace brantlow::gui
