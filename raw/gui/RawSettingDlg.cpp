#include "raw/gui/RawSettingDlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "base/sinks.h"
#include "platform/files.h"
#include "raw/finders.h"

namespace brantlow::raw::gui {

namespace {

const char* kExtensionHelp =
    "Enter file extention .\n Example 'jpg','mp3','avi',..etc.\n Do not put a dot(.) before extention(i.e .mp3)";
const char* kExtensionHelpAfter =
    "here enter the file extentiom .\n Example 'jpg','mp3','avi',..etc.\n Do not put a dot(.) before "
    "extention(i.e .mp3)";

QToolButton* helpButton(const QString& tip, QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setText("?");
    b->setToolTip(tip);
    return b;
}

}  // namespace

RawSettingDlg::RawSettingDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Brantlow v1.0");
    auto* outer = new QVBoxLayout(this);
    auto* group = new QGroupBox("File Setting:", this);
    auto* grid = new QGridLayout(group);
    int row = 0;
    auto addRow = [&](const QString& label, QWidget* field, const QString& help) -> QToolButton* {
        grid->addWidget(new QLabel(label, group), row, 0);
        grid->addWidget(field, row, 1);
        QToolButton* h = helpButton(help, group);
        grid->addWidget(h, row, 2);
        ++row;
        return h;
    };
    extensionEdit = new QLineEdit(group);
    startEdit = new QLineEdit(group);
    endEdit = new QLineEdit(group);
    sizeOffsetEdit = new QLineEdit(group);
    sizeLengthEdit = new QLineEdit(group);
    includesHeaderCheck = new QCheckBox("Size includes header size", group);
    headerSizeEdit = new QLineEdit(group);
    skipEdit = new QLineEdit(group);
    approxEdit = new QLineEdit(group);
    bytesAfterEndEdit = new QLineEdit(group);
    startRepeatsCheck = new QCheckBox("Starting signature repeats inside the file", group);
    dropInvalidCheck = new QCheckBox("No file where the format check fails", group);
    categoryEdit = new QLineEdit(group);

    extensionHelp = addRow("File Extention :", extensionEdit, kExtensionHelp);
    connect(extensionHelp, &QToolButton::clicked, this, [this] { extensionHelp->setToolTip(kExtensionHelpAfter); });
    finderLabel = new QLabel(group);
    finderLabel->setObjectName("finderLabel");
    grid->addWidget(finderLabel, row++, 1);
    auto showFinder = [this](const QString& ext) {
        const EndFinder* f = endFinderFor(ext.trimmed().toStdString());
        finderLabel->setText(f ? QString("Ends found from the file's structure (%1)").arg(f->name)
                               : QString("No structure check: ends by the signatures and sizes below"));
    };
    connect(extensionEdit, &QLineEdit::textChanged, this, showFinder);
    showFinder(QString());
    addRow("Starting Signature :", startEdit,
           "here enter the file signature that happens to be in the starting of the file.\n example "
           "0x89,0x50,0x4E,0x47  for png File");
    addRow("Ending Signature :", endEdit,
           "here enter the file signature that happens to be in the end of the file.\n Example "
           "0x49,0x45,0x4E,0x44,0xAE,0x42,0x60,0x82 for png File.\n its optional Field .you can leave it if you dont "
           "know .");
    addRow("Bytes after ending signature :", bytesAfterEndEdit,
           "if the file ends a fixed number of bytes after its ending signature, enter that number here.\n Example 18 "
           "for zip files (the 22-byte end of central directory record starts with the 4-byte signature).\n its "
           "optional Field .you can leave it if you don't know.");
    addRow("Offset to Size Byte :", sizeOffsetEdit,
           "if  the size of file is given in the header and you know its offset please enter that offset here.\n its "
           "optional Field .you can leave it if you don't know.");
    addRow("Number Of Bytes In Size :", sizeLengthEdit,
           "if  you know how many bytes represents size please enter that number of bytes  here.\n its optional Field "
           ".you can leave it ifyou  don't know.");
    addRow("", includesHeaderCheck,
           "check this checkbox if the size alkso includes the header size else leave it.\n its optional Field .you can "
           "leave it if you don't know.");
    addRow("Header size :", headerSizeEdit,
           "please enter the header size in bytes here.\n its optional Field .you can leave it if you don't know.");
    addRow("Size_to_skip_WhileParsing :", skipEdit,
           "when we find the file signature you mentioned  above we can skip further file scanning by an amount you "
           "enter here.\n For example mp3 are generally greater then 2 mb .so you can enter 2097152 bytes here.\n its "
           "optional Field .you can leave it .");
    addRow("Approx file size :", approxEdit,
           "please enter approx file size here.\n its optional Field .you can leave it if you don't know.");
    addRow("", startRepeatsCheck,
           "check this checkbox if the starting signature also occurs inside the file (zip files: every member "
           "starts with it).\n its optional Field .you can leave it if you don't know.");
    addRow("", dropInvalidCheck,
           "check this checkbox when the starting signature is short or common (it matches inside other data): a "
           "start whose format the program checks and rejects is then no file.\n its optional Field .you can leave "
           "it if you don't know.");
    addRow("Put Under Category :", categoryEdit, "here enter the name of category you want to put these files under");
    outer->addWidget(group);

    auto* pathGroup = new QGroupBox("Select Path to Save Entries", this);
    auto* ph = new QHBoxLayout(pathGroup);
    pathEdit = new QLineEdit(pathGroup);
    pathEdit->setReadOnly(true);
    browseButton = new QPushButton("...", pathGroup);
    saveButton = new QPushButton("Save", pathGroup);
    ph->addWidget(pathEdit);
    ph->addWidget(browseButton);
    ph->addWidget(saveButton);
    outer->addWidget(pathGroup);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    outer->addWidget(box);
    connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(browseButton, &QPushButton::clicked, this, &RawSettingDlg::browse);
    connect(saveButton, &QPushButton::clicked, this, &RawSettingDlg::saveRecord);

    chooseFile = [this] {
        // QFileDialog asks before overwriting an existing file.
        return QFileDialog::getSaveFileName(this, "Brantlow v1.0");
    };
}

EditorFields RawSettingDlg::fields() const {
    EditorFields f;
    f.extension = extensionEdit->text().toStdString();
    f.startSignature = startEdit->text().toStdString();
    f.endSignature = endEdit->text().toStdString();
    f.sizeOffset = sizeOffsetEdit->text().toStdString();
    f.sizeLength = sizeLengthEdit->text().toStdString();
    f.sizeIncludesHeader = includesHeaderCheck->isChecked();
    f.headerSize = headerSizeEdit->text().toStdString();
    f.skipSize = skipEdit->text().toStdString();
    f.approximateSize = approxEdit->text().toStdString();
    f.bytesAfterEnd = bytesAfterEndEdit->text().toStdString();
    f.startRepeats = startRepeatsCheck->isChecked();
    f.dropInvalid = dropInvalidCheck->isChecked();
    f.category = categoryEdit->text().toStdString();
    return f;
}

void RawSettingDlg::browse() {
    QString path = chooseFile ? chooseFile() : QString();
    if (path.isEmpty()) return;
    // The chosen file is created anew: an existing one is emptied.
    if (platform::createEmptyFile(path.toLocal8Bit().constData()) != 0) {
        messageSink().info("file can not be created");
        return;
    }
    path_ = path;
    pathEdit->setText(path);
}

void RawSettingDlg::saveRecord() {
    if (path_.isEmpty()) return;
    AppendResult r = appendRecord(path_.toLocal8Bit().toStdString(), fields());
    messageSink().info(r.message);
}

}  // namespace brantlow::raw::gui
