// The filters that narrow a name search on the scan page: deleted only, a
// size range in KB, a modification-date range, the recoverability and a
// list of file types. Off unless the box is ticked.
#pragma once

#include <QGroupBox>

#include "scan/recovery_model.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLineEdit;

namespace brantlow::gui {

class SearchFilterBox : public QGroupBox {
    Q_OBJECT
public:
    explicit SearchFilterBox(QWidget* parent = nullptr);

    // The fields as typed (no pattern); nothing when the box is not ticked.
    FilterFields fields() const;
    QComboBox* recoverableCombo() const { return recoverable_; }

private:
    QCheckBox* deletedOnly_ = nullptr;
    QLineEdit* minSize_ = nullptr;
    QLineEdit* maxSize_ = nullptr;
    QCheckBox* useAfter_ = nullptr;
    QCheckBox* useBefore_ = nullptr;
    QDateEdit* after_ = nullptr;
    QDateEdit* before_ = nullptr;
    QLineEdit* extensions_ = nullptr;
    QComboBox* recoverable_ = nullptr;
};

}  // namespace brantlow::gui
