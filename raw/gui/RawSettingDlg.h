// The signature editor: one edit per field of a settings record, a help
// button beside each, and the file the records are appended to.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "raw/settings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace brantlow::raw::gui {

class RawSettingDlg : public QDialog {
    Q_OBJECT
public:
    explicit RawSettingDlg(QWidget* parent = nullptr);

    // "...": asks for a file (save-as dialog) and empties it. Tests replace
    // the dialog.
    std::function<QString()> chooseFile;

    // The fields as typed.
    EditorFields fields() const;

    QLineEdit* extensionEdit;
    QLineEdit* startEdit;
    QLineEdit* endEdit;
    QLineEdit* sizeOffsetEdit;
    QLineEdit* sizeLengthEdit;
    QCheckBox* includesHeaderCheck;
    QLineEdit* headerSizeEdit;
    QLineEdit* skipEdit;
    QLineEdit* approxEdit;
    QLineEdit* bytesAfterEndEdit;
    QCheckBox* startRepeatsCheck;
    QCheckBox* dropInvalidCheck;
    QLineEdit* categoryEdit;
    QLineEdit* pathEdit;
    QPushButton* browseButton;
    QPushButton* saveButton;
    QToolButton* extensionHelp;
    // Whether the typed extension's format has an end finder.
    QLabel* finderLabel;

public slots:
    void browse();
    void saveRecord();

private:
    QString path_;  // the open settings file ("..." chose it)
};

}  // namespace brantlow::raw::gui
