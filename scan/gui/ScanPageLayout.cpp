// The scan page's controls: built, laid out and connected.
#include <QCheckBox>
#include <QComboBox>
#include <QFileIconProvider>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QVBoxLayout>

#include "base/texts.h"
#include "scan/gui/VolumeScanDlg.h"
#include "scan/type_guess.h"

namespace brantlow::gui {

using controls::Item;

void VolumeScanDlg::buildControls() {
    nextButton()->hide();
    backButton()->setEnabled(false);
    auto* grid = new QVBoxLayout(content());
    grid->setContentsMargins(12, 8, 12, 4);
    buildSearchRow(grid);
    buildResultPanes(grid);
    buildProgressRow(grid);
    buildStatusRow(grid);
    buildHiddenChoices();
    loadIcons();
    connectControls();
}

// "Volume Data:", the search pattern and its button, and the hint below.
void VolumeScanDlg::buildSearchRow(QVBoxLayout* grid) {
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel("Volume Data:"));
    volumeEdit_ = new QLineEdit;
    volumeEdit_->setObjectName("volumeData");
    volumeEdit_->setReadOnly(true);
    top->addWidget(volumeEdit_, 1);
    patternEdit_ = new QLineEdit;
    patternEdit_->setObjectName("pattern");
    top->addWidget(patternEdit_, 1);
    searchButton_ = new QPushButton("Search");
    searchButton_->setObjectName("searchButton");
    searchButton_->setAutoDefault(false);
    top->addWidget(searchButton_);
    grid->addLayout(top);
    auto* hint = new QLabel("* Use \"|\" to find multiple file type ");
    hint->setAlignment(Qt::AlignRight);
    grid->addWidget(hint);
    filterBox_ = new SearchFilterBox;
    grid->addWidget(filterBox_);
}

// The result tree beside the file list.
void VolumeScanDlg::buildResultPanes(QVBoxLayout* grid) {
    auto* split = new QSplitter(Qt::Horizontal);
    tree_ = new controls::CXHtmlTree;
    tree_->setObjectName("resultTree");
    tree_->Initialize();
    list_ = new controls::CCheckListCtrl;
    list_->setObjectName("fileList");
    list_->InitHeader();
    tree_->setMinimumWidth(180);
    // The preview of the highlighted file below the list.
    auto* right = new QSplitter(Qt::Vertical);
    preview_ = new PreviewPane(guessExtensionFromBytes);
    right->addWidget(list_);
    right->addWidget(preview_);
    right->setStretchFactor(0, 3);
    right->setStretchFactor(1, 1);
    split->addWidget(tree_);
    split->addWidget(right);
    // The list and its columns take most of the width; names elide in the
    // middle (the start and the extension stay).
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 3);
    tree_->setTextElideMode(Qt::ElideMiddle);
    grid->addWidget(split, 1);
}

// The progress bar with Pause, Resume and Stop.
void VolumeScanDlg::buildProgressRow(QVBoxLayout* grid) {
    auto* bar = new QHBoxLayout;
    progress_ = new QProgressBar;
    progress_->setObjectName("progress");
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    bar->addWidget(progress_, 1);
    rate_ = new RateLabel;
    bar->addWidget(rate_);
    pauseButton_ = new QPushButton("Pause");
    pauseButton_->setObjectName("pauseButton");
    resumeButton_ = new QPushButton("Resume");
    resumeButton_->setObjectName("resumeButton");
    stopButton_ = new QPushButton("Stop");
    stopButton_->setObjectName("stopButton");
    for (QPushButton* b : {pauseButton_, resumeButton_, stopButton_}) {
        b->setAutoDefault(false);
        bar->addWidget(b);
    }
    grid->addLayout(bar);
}

// The two status lines, "Output Folder" and "Save".
void VolumeScanDlg::buildStatusRow(QVBoxLayout* grid) {
    auto* statusRow = new QHBoxLayout;
    status_ = new QLabel;
    status_->setObjectName("status");
    status_->setTextFormat(Qt::PlainText);
    status_->setMinimumWidth(100);
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusRow->addWidget(status_, 3);
    // Deleted files whose clusters other files hold now are left out of a
    // save unless this is ticked; then they are written as NAME.partial.
    includeOverwritten_ = new QCheckBox("Include overwritten files");
    includeOverwritten_->setObjectName("includeOverwritten");
    includeOverwritten_->setToolTip(
        "Also write deleted files whose clusters other files hold now, as NAME.partial: their content is "
        "mostly another file's");
    statusRow->addWidget(includeOverwritten_);
    saveButton_ = new QPushButton("Save");
    saveButton_->setObjectName("saveButton");
    saveButton_->setAutoDefault(false);
    statusRow->addWidget(saveButton_);
    grid->addLayout(statusRow);

    // The second status line (what the last save did) with "Details…", and
    // the output folder beside its button.
    auto* saveRow = new QHBoxLayout;
    status2_ = new QLabel;
    status2_->setObjectName("status2");
    status2_->setTextFormat(Qt::PlainText);
    status2_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    saveRow->addWidget(status2_, 3);
    detailsButton_ = new QPushButton(QString::fromUtf8("Details\u2026"));
    detailsButton_->setObjectName("detailsButton");
    detailsButton_->setAutoDefault(false);
    detailsButton_->hide();
    saveRow->addWidget(detailsButton_);
    // The result kept in a session file, and one reopened from a file.
    saveScanButton_ = new QPushButton(QString::fromUtf8("Save Scan\u2026"));
    saveScanButton_->setObjectName("saveScanButton");
    saveScanButton_->setAutoDefault(false);
    saveScanButton_->setToolTip("Keep this scan's result in a session file, to open it later without scanning again");
    saveRow->addWidget(saveScanButton_);
    openScanButton_ = new QPushButton(QString::fromUtf8("Open Scan\u2026"));
    openScanButton_->setObjectName("openScanButton");
    openScanButton_->setAutoDefault(false);
    openScanButton_->setToolTip("Show a scan of this source kept in a session file, without reading the volume again");
    saveRow->addWidget(openScanButton_);
    outputButton_ = new QPushButton("Output Folder");
    outputButton_->setObjectName("outputFolderButton");
    outputButton_->setAutoDefault(false);
    saveRow->addWidget(outputButton_);
    outputLabel_ = new QLabel("(none chosen)");
    outputLabel_->setObjectName("outputFolderShown");
    outputLabel_->setTextFormat(Qt::PlainText);
    outputLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    outputLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    saveRow->addWidget(outputLabel_, 2);
    grid->addLayout(saveRow);
}

// Hidden: the output folder and, in Advanced mode, the choices copied from
// the advanced-input page.
void VolumeScanDlg::buildHiddenChoices() {
    outputEdit_ = new QLineEdit(content());
    outputEdit_->setObjectName("outputFolder");
    outputEdit_->hide();
    candidates_ = new QComboBox(content());
    candidates_->setObjectName("candidates");
    sectorsPerCluster_ = new QComboBox(content());
    sectorsPerCluster_->setObjectName("sectorsPerCluster");
    heapOffset_ = new QComboBox(content());
    heapOffset_->setObjectName("heapOffset");
    for (QComboBox* c : {candidates_, sectorsPerCluster_, heapOffset_}) c->hide();
}

// Images: 0 folder, 1 plain file (also the placeholder's), then one per file
// type as they are met.
void VolumeScanDlg::loadIcons() {
    QIcon folder = iconProvider_->icon(QFileIconProvider::Folder);
    if (folder.isNull()) folder = style()->standardIcon(QStyle::SP_DirIcon);
    QIcon file = iconProvider_->icon(QFileIconProvider::File);
    if (file.isNull()) file = style()->standardIcon(QStyle::SP_FileIcon);
    icons_ = {folder, file};
    tree_->setIcons(&icons_);
    list_->listModel()->setIcons(&icons_);
}

void VolumeScanDlg::connectControls() {
    connect(pauseButton_, &QPushButton::clicked, this, &VolumeScanDlg::pause);
    connect(resumeButton_, &QPushButton::clicked, this, &VolumeScanDlg::resume);
    connect(stopButton_, &QPushButton::clicked, this, &VolumeScanDlg::stop);
    connect(saveButton_, &QPushButton::clicked, this, &VolumeScanDlg::save);
    connect(outputButton_, &QPushButton::clicked, this, &VolumeScanDlg::chooseOutputFolder);
    connect(saveScanButton_, &QPushButton::clicked, this, &VolumeScanDlg::saveScan);
    connect(openScanButton_, &QPushButton::clicked, this, &VolumeScanDlg::openScan);
    connect(detailsButton_, &QPushButton::clicked, this, &VolumeScanDlg::showProblems);
    connect(searchButton_, &QPushButton::clicked, this, &VolumeScanDlg::startSearch);
    // Enter in the pattern searches (and never ends the program).
    connect(patternEdit_, &QLineEdit::returnPressed, this, &VolumeScanDlg::startSearch);
    connectTreeAndList();
    provideRowTexts();
}

// Clicks, expansions, ticks and highlights of the tree and the list.
void VolumeScanDlg::connectTreeAndList() {
    connect(tree_, &controls::CXHtmlTree::labelClicked, this, &VolumeScanDlg::labelClicked);
    connect(tree_->treeModel(), &controls::CheckTreeModel::fetchRequested, this, &VolumeScanDlg::itemExpanding);
    connect(tree_, &QTreeView::expanded, this, [this](const QModelIndex& i) {
        Item it = tree_->treeModel()->itemOf(i);
        if (running() && tree_->treeModel()->isPlaceholder(tree_->GetChildItem(it))) {
            // Nothing is read while a worker runs; the folder opens later.
            QMetaObject::invokeMethod(this, [this, it] { tree_->Expand(it, controls::ExpandAction::Collapse); },
                                      Qt::QueuedConnection);
            return;
        }
        // The view is still laying out the expansion: fill afterwards (the
        // model's fetchMore normally has done it already).
        QMetaObject::invokeMethod(this, [this, it] { itemExpanding(it); }, Qt::QueuedConnection);
    });
    connect(tree_, &controls::CXHtmlTree::itemDoubleClicked, this, &VolumeScanDlg::itemDoubleClicked);
    connect(list_->listModel(), &controls::CheckListModel::rowToggled, this, &VolumeScanDlg::listRowToggled);
    connect(list_->listModel(), &controls::CheckListModel::headerToggled, this, &VolumeScanDlg::headerToggled);
    connect(tree_->treeModel(), &QAbstractItemModel::dataChanged, this, &VolumeScanDlg::treeStateChanged);
    // The highlighted file is previewed.
    connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& cur) { previewRow(cur.isValid() ? cur.row() : -1); });
    // The list follows the highlight, by mouse or by keyboard.
    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& cur) {
        const Item it = tree_->treeModel()->itemOf(cur);
        if (it != controls::kNoItem) showItem(it);
        previewItem(it);
    });
}

// The texts the list and the tree ask for when they draw a row.
void VolumeScanDlg::provideRowTexts() {
    list_->listModel()->setTextProvider([this](int data, controls::RowTexts& out) {
        EntryId id;
        if (!parser_ || (!entryOf(data, id) && !hitOf(data, id))) return false;
        ListTexts t = parser_->listTexts(id);
        EntryInfo info;
        std::string recoverable;
        if (parser_->entryInfo(id, info) && info.kind != EntryKind::Folder &&
            (info.state == EntryState::Deleted || (unreadable_ && unreadable_->active()))) {
            QString tip;
            tintOf(id, tip);
            // A live file has a state only on unreadable sectors.
            auto e = estimates_.find(id);
            if (info.state == EntryState::Deleted ||
                (e != estimates_.end() && e->second.state == Recoverability::Unreadable))
                recoverable = tip.toStdString();
        }
        out = {t.created, t.accessed, t.modified, t.size, t.attributes, recoverable};
        return true;
    });
    list_->listModel()->setSortKeyProvider([this](int data, controls::RowSortKeys& out) {
        EntryId id;
        EntryInfo info;
        if (!parser_ || (!entryOf(data, id) && !hitOf(data, id)) || !parser_->entryInfo(id, info)) return false;
        auto sec = [](const OptTime& t) { return t ? t->sec : INT64_MIN; };
        out.created = sec(info.created);
        out.accessed = sec(info.accessed);
        out.modified = sec(info.modified);
        out.size = info.kind == EntryKind::Folder ? 0 : info.size;
        return true;
    });
    // Sorted rows: the tree's ticks find them at their new places.
    connect(list_->listModel(), &controls::CheckListModel::rowsSorted, this, [this] { rememberRows(); });
    // Deleted files are tinted by what is left of them; a name whose first
    // letter was lost says so.
    tree_->treeModel()->setTintProvider([this](uint64_t data, QString& tip) {
        EntryInfo info;
        if (!parser_ || !parser_->entryInfo(data, info)) return controls::kColorNone;
        const bool deleted = info.state == EntryState::Deleted;
        const QString lost = deleted ? QString::fromStdString(lostLetterNote(info)) : QString();
        if (info.kind == EntryKind::Folder) {
            tip = lost;
            return controls::kColorNone;
        }
        // A live file is tinted only when it lies on unreadable sectors.
        if (!deleted && !(unreadable_ && unreadable_->active())) return controls::kColorNone;
        const uint32_t tint = tintOf(data, tip);
        if (!deleted && tint == controls::kColorNone) tip.clear();
        if (!lost.isEmpty()) tip = tip.isEmpty() ? lost : tip + "\n" + lost;
        return tint;
    });
    // A file shown under the name the recycle bin recorded says where it
    // was; one whose first letter was lost says that.
    list_->listModel()->setToolTipProvider([this](int data) {
        EntryId id;
        EntryInfo info;
        if (!parser_ || (!entryOf(data, id) && !hitOf(data, id)) || !parser_->entryInfo(id, info)) return QString();
        QString tip;
        if (!info.originalPath.empty()) {
            tip = QString::fromStdString(info.name) + "\nOriginally: " + QString::fromStdString(info.originalPath);
            if (info.deletedAt) tip += "\nDeleted: " + QString::fromStdString(isoUtc(info.deletedAt->sec));
        }
        const std::string lost = lostLetterNote(info);
        if (!lost.empty()) tip = QString::fromStdString(info.name) + "\n" + QString::fromStdString(lost);
        return tip;
    });
}

}  // namespace brantlow::gui
