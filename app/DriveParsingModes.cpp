// Scan-mode page: how the chosen drive is searched for volumes.
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "app/Pages.h"
#include "app/VolumeChoice.h"
#include "fs/filesystems.h"
#include "scan/volumes.h"
#include "ui/CurrentSource.h"

namespace brantlow::gui {

DriveParsingModes::DriveParsingModes(const QString& drivePath, WizardPage* opener)
    : WizardPage("Select Scan Mode", opener), drivePath_(drivePath) {
    setObjectName("DriveParsingModes");
    auto* outer = new QVBoxLayout(content());
    outer->setContentsMargins(18, 12, 18, 4);
    auto* group = new QGroupBox("Select Mode:", content());
    outer->addWidget(group);
    outer->addStretch(1);
    auto* g = new QGridLayout(group);
    g->setColumnStretch(2, 1);

    auto* driveRow = new QHBoxLayout;
    driveRow->addWidget(new QLabel("Currently Selected Drive :", group));
    auto* pathLabel = new QLabel(drivePath_, group);
    pathLabel->setObjectName("selectedDrive");
    pathLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont bold = pathLabel->font();
    bold.setBold(true);
    pathLabel->setFont(bold);
    driveRow->addWidget(pathLabel, 1);
    g->addLayout(driveRow, 0, 0, 1, 3);

    standard_ = new QRadioButton("Standard Scan", group);
    advance_ = new QRadioButton("Advance Scan", group);
    advance_->setToolTip("Search every sector of the drive for volumes whose partition-table entries are lost.");
    g->addWidget(standard_, 1, 0, 1, 3);
    g->addWidget(advance_, 2, 0, 1, 3);

    doNotSkip_ = new QCheckBox("Do not Skip Volume Size While Parsing in Advance  Scan ", group);
    g->addWidget(doNotSkip_, 3, 0, 1, 3);

    custom_ = new QCheckBox("Custom Setting:", group);
    g->addWidget(custom_, 4, 0, 1, 3);
    auto* validator = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,19}"), this);
    startLabel_ = new QLabel("Starting Sector:", group);
    start_ = new QLineEdit("0", group);
    start_->setObjectName("startingSector");
    start_->setValidator(validator);
    endLabel_ = new QLabel("Ending Sector:", group);
    end_ = new QLineEdit("0", group);
    end_->setObjectName("endingSector");
    end_->setValidator(validator);
    g->addWidget(startLabel_, 5, 0);
    g->addWidget(start_, 5, 1);
    g->addWidget(endLabel_, 6, 0);
    g->addWidget(end_, 6, 1);

    gpt_ = new QCheckBox("GPT format", group);
    g->addWidget(gpt_, 7, 0);
    auto* gptNote = new QLabel("* Check If Partition type is GPT", group);
    g->addWidget(gptNote, 7, 1, 1, 2);

    standard_->setChecked(true);
    connect(standard_, &QRadioButton::toggled, this, [this](bool on) {
        if (on && custom_->isChecked()) custom_->setChecked(false);
        updateControls();
    });
    connect(advance_, &QRadioButton::toggled, this, [this] { updateControls(); });
    connect(custom_, &QCheckBox::toggled, this, [this] { updateControls(); });
    updateControls();

    openCurrentSource(drivePath_.toStdString(), messages(), volumeProbeTable());  // "invalid handle ..." on failure; the page still opens

    connect(this, &WizardPage::nextRequested, this, &DriveParsingModes::onNext);
}

void DriveParsingModes::updateControls() {
    const bool adv = advance_->isChecked();
    doNotSkip_->setEnabled(adv);
    custom_->setEnabled(adv);
    const bool c = custom_->isChecked() && custom_->isEnabled();
    for (QWidget* w : {static_cast<QWidget*>(startLabel_), static_cast<QWidget*>(start_),
                       static_cast<QWidget*>(endLabel_), static_cast<QWidget*>(end_)})
        w->setEnabled(c);
}

void DriveParsingModes::onNext() {
    PopulateDriveDlg::Options o;
    o.drivePath = drivePath_;
    o.scanMode = advance_->isChecked() ? 2 : 1;
    o.useGpt = gpt_->isChecked();
    o.doNotSkip = doNotSkip_->isChecked();
    if (custom_->isChecked()) {
        const auto s = parseSector(start_->text().toStdString());
        const auto e = parseSector(end_->text().toStdString());
        if (!s) return messages().info(kBadStartSector);
        if (!e) return messages().info(kBadEndSector);
        if (*e < *s) return messages().info(kEndBeforeStart);
        const uint64_t total = g_totalSectors.load();
        if (total > 0 && (*s >= total || *e >= total)) return messages().info(beyondDiskMessage(total));
        o.customStartSector = static_cast<int64_t>(*s);
        o.customEndSector = static_cast<int64_t>(*e);
    }
    auto* page = new PopulateDriveDlg(o, this);
    if (!page) {
        messages().info("error creating PopulateDriveDlgptr");
        return;
    }
    openNext(page);
}

}  // namespace brantlow::gui
