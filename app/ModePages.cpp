// Volume information page, recovery-mode page, and the opening of the scan
// and raw recovery pages that their subsystems register.
#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>

#include "fs/filesystems.h"
#include <QVBoxLayout>

#include "ui/PageFactory.h"
#include "app/AdvanceOptions.h"
#include "app/Pages.h"

namespace brantlow::gui {

namespace {
QString q(const std::string& s) { return QString::fromStdString(s); }

QLabel* valueLabel(const QString& text, QWidget* parent, const char* name) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont f = l->font();
    f.setBold(true);
    l->setFont(f);
    return l;
}
}  // namespace

// ---- Volume information ----------------------------------------------------

VolumeOperations::VolumeOperations(const VolumeEntry& volume, WizardPage* opener)
    : WizardPage("Volume Information", opener), volume_(volume) {
    setObjectName("VolumeOperations");
    auto* outer = new QVBoxLayout(content());
    outer->setContentsMargins(18, 12, 18, 4);
    auto* group = new QGroupBox("Volume Information:", content());
    auto* form = new QFormLayout(group);
    form->setHorizontalSpacing(18);
    form->addRow("Volume Name:", valueLabel(q(volume_.rootPath), group, "volumeName"));
    form->addRow("Volume File System:", valueLabel(q(volume_.fileSystem), group, "volumeFileSystem"));
    form->addRow("Volume Size:", valueLabel(q(volume_.sizeText), group, "volumeSize"));
    form->addRow("Device:", valueLabel(q(volume_.volumeNumber), group, "volumeDevice"));
    outer->addWidget(group);
    outer->addStretch(1);
    connect(this, &WizardPage::nextRequested, this, [this] {
        openNext(new ParceModeNtfsDlg(ParceModeNtfsDlg::kFromVolumeInformation, volume_, this));
    });
}

// ---- Recovery mode ---------------------------------------------------------

ParceModeNtfsDlg::Offered ParceModeNtfsDlg::offeredModes(const std::string& fileSystem) {
    const ParserRow* row = findParserRow(fileSystem);
    // A volume no parser reads: every mode, and the scan page says why.
    if (!row) return {true, true, true};
    return {row->offers(ScanMode::Standard), row->offers(ScanMode::Advanced), row->offers(ScanMode::Deep)};
}

ParceModeNtfsDlg::ParceModeNtfsDlg(int openerKind, const VolumeEntry& volume, WizardPage* opener)
    : WizardPage("Select Recovery Mode", opener), openerKind_(openerKind), volume_(volume) {
    setObjectName("ParceModeNtfsDlg");
    QString fs = q(volume_.fileSystem);
    int i = 0;
    while (i < fs.size() && fs[i] == ' ') ++i;
    fsPrefix_ = fs.mid(i, 3);
    const ParserRow* row = findParserRow(fs.trimmed().toStdString());
    formattedOffered_ = row && row->formattedOption;

    auto* outer = new QVBoxLayout(content());
    outer->setContentsMargins(18, 12, 18, 4);
    auto* summary = new QLabel(content());
    summary->setObjectName("volumeSummary");
    summary->setText(QString("Volume %1   %2   %3   start sector %4")
                         .arg(q(volume_.rootPath.empty() ? volume_.volumeNumber : volume_.rootPath), q(volume_.fileSystem),
                              q(volume_.sizeText))
                         .arg(static_cast<qulonglong>(volume_.startSector)));
    outer->addWidget(summary);

    auto* group = new QGroupBox("Select Recovery Mode:", content());
    outer->addWidget(group);
    outer->addStretch(1);
    auto* g = new QGridLayout(group);
    g->setColumnStretch(2, 1);
    standard_ = new QRadioButton("Standard", group);
    advanced_ = new QRadioButton("Advanced", group);
    deep_ = new QRadioButton("Deep", group);
    g->addWidget(standard_, 0, 0, 1, 3);
    g->addWidget(advanced_, 1, 0, 1, 3);
    g->addWidget(deep_, 2, 0, 1, 3);
    maxLabel_ = new QLabel("Please Enter Max File Systems to Find :", group);
    maxEdit_ = new QLineEdit(group);
    maxEdit_->setObjectName("maxFileSystems");
    maxEdit_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,6}"), maxEdit_));
    maxEdit_->setMaximumWidth(90);
    maxNote_ = new QLabel("( By  Default  it's  = 3 )", group);
    g->addWidget(maxLabel_, 3, 0);
    g->addWidget(maxEdit_, 3, 1);
    g->addWidget(maxNote_, 3, 2);
    formatted_ = new QCheckBox("Is Drive Formated..?", group);
    g->addWidget(formatted_, 4, 0, 1, 3);

    const Offered o = offeredModes(QString::fromStdString(volume_.fileSystem).trimmed().toStdString());
    standard_->setVisible(o.standard);
    advanced_->setVisible(o.advanced);
    deep_->setVisible(o.deep);

    connect(standard_, &QRadioButton::clicked, this, [this] { setMode(1); });
    connect(advanced_, &QRadioButton::clicked, this, [this] { setMode(2); });
    connect(deep_, &QRadioButton::clicked, this, [this] { setMode(3); });
    standard_->setChecked(true);
    setMode(1);
    connect(this, &WizardPage::nextRequested, this, &ParceModeNtfsDlg::onNext);
}

void ParceModeNtfsDlg::setMode(int mode) {
    recoveryMode_ = mode;
    const bool adv = mode == 2;
    maxLabel_->setVisible(adv);
    maxEdit_->setVisible(adv);
    maxNote_->setVisible(adv);
    formatted_->setChecked(false);
    formatted_->setVisible(adv && formattedOffered_);
}

int ParceModeNtfsDlg::maxCandidates() const {
    bool ok = false;
    const int n = maxEdit_->text().trimmed().toInt(&ok);
    return ok && n >= 1 ? n : 3;
}

void ParceModeNtfsDlg::onNext() {
    if (recoveryMode_ == 2) {
        openNext(new advanceOptions(volume_, maxCandidates(), scanOptions(), this));
        return;
    }
    openScanPage(this, volume_, recoveryMode_ == 3 ? ScanMode::Deep : ScanMode::Standard, scanOptions());
}

ScanOptions ParceModeNtfsDlg::scanOptions() const {
    ScanOptions o;
    o.driveFormatted = formatted_->isChecked();
    return o;
}

// ---- The pages other subsystems build ---------------------------------------

void openScanPage(WizardPage* opener, const VolumeEntry& volume, ScanMode mode, const ScanOptions& options) {
    if (WizardPage* page = makeScanPage(opener, volume, mode, options)) opener->openNext(page);
}

void openRawPage(WizardPage* opener, const VolumeEntry& volume) {
    if (WizardPage* page = makeRawPage(opener, volume)) opener->openNext(page);
}

}  // namespace brantlow::gui
