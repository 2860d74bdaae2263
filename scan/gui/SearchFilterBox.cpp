#include "scan/gui/SearchFilterBox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace brantlow::gui {

SearchFilterBox::SearchFilterBox(QWidget* parent) : QGroupBox("Search filters", parent) {
    setObjectName("searchFilters");
    setCheckable(true);
    setChecked(false);
    // Two rows, so every label is shown whole in a window of ordinary size.
    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(6, 2, 6, 2);
    rows->setSpacing(2);
    auto* row = new QHBoxLayout;
    auto* second = new QHBoxLayout;
    rows->addLayout(row);
    rows->addLayout(second);
    deletedOnly_ = new QCheckBox("Deleted only");
    deletedOnly_->setObjectName("deletedOnly");
    row->addWidget(deletedOnly_);
    row->addWidget(new QLabel("Size (KB):"));
    minSize_ = new QLineEdit;
    minSize_->setObjectName("minSize");
    maxSize_ = new QLineEdit;
    maxSize_->setObjectName("maxSize");
    for (QLineEdit* e : {minSize_, maxSize_}) {
        e->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,12}"), e));
        e->setMaximumWidth(80);
    }
    minSize_->setPlaceholderText("from");
    maxSize_->setPlaceholderText("to");
    row->addWidget(minSize_);
    row->addWidget(maxSize_);
    useAfter_ = new QCheckBox("Modified from");
    useAfter_->setObjectName("useModifiedAfter");
    after_ = new QDateEdit(QDate::currentDate().addYears(-1));
    after_->setObjectName("modifiedAfter");
    useBefore_ = new QCheckBox("to");
    useBefore_->setObjectName("useModifiedBefore");
    before_ = new QDateEdit(QDate::currentDate());
    before_->setObjectName("modifiedBefore");
    for (QDateEdit* d : {after_, before_}) {
        d->setCalendarPopup(true);
        d->setDisplayFormat("yyyy-MM-dd");
    }
    row->addWidget(useAfter_);
    row->addWidget(after_);
    row->addWidget(useBefore_);
    row->addWidget(before_);
    row->addStretch(1);
    second->addWidget(new QLabel("Recoverable:"));
    recoverable_ = new QComboBox;
    recoverable_->setObjectName("recoverableFilter");
    for (const RecoverableChoice& c : recoverableChoices()) recoverable_->addItem(c.label);
    second->addWidget(recoverable_);
    second->addWidget(new QLabel("Types:"));
    extensions_ = new QLineEdit;
    extensions_->setObjectName("extensions");
    extensions_->setPlaceholderText("jpg,png,docx");
    extensions_->setMinimumWidth(120);
    second->addWidget(extensions_, 1);
}

FilterFields SearchFilterBox::fields() const {
    FilterFields f;
    if (!isChecked()) return f;
    auto text = [](const QLineEdit* e) {
        return e->text().isEmpty() ? std::nullopt : std::optional<std::string>(e->text().toStdString());
    };
    auto day = [](const QCheckBox* use, const QDateEdit* d) {
        return use->isChecked() ? std::optional<std::string>(d->date().toString("yyyy-MM-dd").toStdString())
                                : std::nullopt;
    };
    f.deletedOnly = deletedOnly_->isChecked();
    f.sizeUnit = 1024;
    f.minSize = text(minSize_);
    f.maxSize = text(maxSize_);
    f.modifiedAfter = day(useAfter_, after_);
    f.modifiedBefore = day(useBefore_, before_);
    f.beforeTakesWholeDay = true;
    f.extensions = extensions_->text().toStdString();
    const auto& choices = recoverableChoices();
    const int i = recoverable_->currentIndex();
    if (i > 0 && static_cast<size_t>(i) < choices.size()) f.recoverable = choices[static_cast<size_t>(i)].states;
    return f;
}

}  // namespace brantlow::gui
