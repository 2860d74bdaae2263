// What an encrypted volume asks before it opens: a passphrase typed in a
// password field, or a key file chosen with its button; why the previous
// answer did not open it, and which try this is. The answer goes straight
// into the layer's answers (locked memory); the field is cleared at once.
#pragma once

#include <QDialog>

#include "layers/api/layer_row.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace brantlow::gui {

class LayerAskDialog : public QDialog {
    Q_OBJECT
public:
    LayerAskDialog(const LayerQuestion& q, LayerAnswers& answers, QWidget* parent);

    QLabel* message() const { return message_; }
    QLineEdit* passphrase() const { return passphrase_; }
    QPushButton* keyFileButton() const { return keyFile_; }

    // Takes the typed passphrase; OK.
    void accept() override;
    // Opens the file picker and takes the chosen file's bytes.
    void chooseKeyFile();

private:
    LayerAnswers& answers_;
    QLabel* message_;
    QLineEdit* passphrase_;
    QPushButton* keyFile_;
};

// Asks in a LayerAskDialog (passphrases only; other questions stay
// unanswered).
LayerAsk wizardLayerAsk(QWidget* parent);

}  // namespace brantlow::gui
