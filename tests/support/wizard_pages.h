// Helpers for offscreen tests that walk the wizard's pages.
// BRANTLOW_SCREENSHOT_DIR comes from the test folder's CMakeLists.
#pragma once

#include <QApplication>
#include <QDir>
#include <QStringList>
#include <QTreeWidget>
#include <QWidget>

inline void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

inline void screenshot(QWidget* page, const QString& name) {
    QDir().mkpath(BRANTLOW_SCREENSHOT_DIR);
    QApplication::processEvents();
    page->grab().save(QString(BRANTLOW_SCREENSHOT_DIR) + "/" + name + ".png");
}

// The only visible child page of `parent` of type T.
template <typename T>
T* nextPage(QWidget* parent) {
    for (T* p : parent->findChildren<T*>(Qt::FindDirectChildrenOnly))
        if (p->isVisible()) return p;
    return nullptr;
}

inline QStringList columnTexts(QTreeWidget* list, int column) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) out << list->topLevelItem(i)->text(column);
    return out;
}
