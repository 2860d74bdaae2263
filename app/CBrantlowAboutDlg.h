// The About box: title, company web page, support and sales mail addresses,
// legal notice and OK. Enter and Escape are ignored; only OK closes it.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace brantlow::gui {

class CBrantlowAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CBrantlowAboutDlg(QWidget* parent = nullptr);

    QLabel* titleLine() const { return title_; }
    QLabel* webLink() const { return web_; }
    QLabel* supportLink() const { return support_; }
    QLabel* salesLink() const { return sales_; }
    QLabel* legalLine() const { return legal_; }
    QPushButton* okButton() const { return ok_; }

protected:
    void reject() override {}
    void keyPressEvent(QKeyEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;

private:
    QLabel* title_;
    QLabel* web_;
    QLabel* support_;
    QLabel* sales_;
    QLabel* legal_;
    QPushButton* ok_;
    QPoint dragFrom_;
    bool dragging_ = false;
};

}  // namespace brantlow::gui
