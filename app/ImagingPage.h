// "Image the disk first": a failing drive copied once to an image file,
// good areas first, with a GNU ddrescue map; a picture of the map as the
// copy goes; Next goes on with the image, read through its map.
#pragma once

#include <QWidget>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "disk/rescue_map.h"
#include "imaging/rescue.h"
#include "ui/RateLabel.h"
#include "ui/WizardPage.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace brantlow::gui {

inline constexpr const char* kImageTheDiskFirst = "Image the disk first";

// The map as a grid of cells, each coloured by the least finished state of
// the bytes it stands for (finished green, non-tried grey, non-trimmed
// yellow, non-scraped blue, bad sector red).
class MapPicture : public QWidget {
    Q_OBJECT
public:
    static constexpr int kColumns = 64, kRows = 24;
    explicit MapPicture(QWidget* parent = nullptr);
    void setCells(std::vector<BlockState> cells);
    const std::vector<BlockState>& cells() const { return cells_; }
    // The cells of a map: kColumns × kRows slices of its extent.
    static std::vector<BlockState> cellsOf(const RescueMap& map);
    QSize sizeHint() const override { return {kColumns * 9, kRows * 9}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    std::vector<BlockState> cells_;
};

class ImagingPage : public WizardPage {
    Q_OBJECT
public:
    ImagingPage(const QString& sourcePath, WizardPage* opener);
    ~ImagingPage() override;

    QLineEdit* imageEdit() const { return image_; }
    QLineEdit* mapEdit() const { return map_; }
    QSpinBox* retries() const { return retries_; }
    QSpinBox* readTimeout() const { return timeout_; }
    QCheckBox* reverse() const { return reverse_; }
    QCheckBox* usedFirst() const { return used_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* stopButton() const { return stop_; }
    QLabel* statusLine() const { return status_; }
    QLabel* endLine() const { return end_; }
    QProgressBar* progress() const { return progress_; }
    // Beside the progress: the rate and the time left.
    RateLabel* rateLine() const { return rate_; }
    MapPicture* picture() const { return picture_; }
    bool running() const { return worker_.joinable() && !finished_; }
    // What the last run ended with (valid once it has ended).
    const imaging::RescueResult& lastResult() const { return result_; }

    void stopWork() override;

private:
    void onStart();
    void onNext();
    void onBrowse();
    void finish();

    QString source_;
    QLineEdit* image_;
    QLineEdit* map_;
    QSpinBox* retries_;
    QSpinBox* timeout_;
    QCheckBox* reverse_;
    QCheckBox* used_;
    QPushButton* start_;
    QPushButton* stop_;
    QProgressBar* progress_;
    RateLabel* rate_;
    QLabel* status_;
    QLabel* end_;
    MapPicture* picture_;
    std::thread worker_;
    std::atomic<bool> stopFlag_{false};
    std::atomic<bool> finished_{false};
    imaging::RescueResult result_;
};

// A ddrescue map beside an image: IMAGE.map, NAME.map, NAME.mapfile or
// NAME.log (NAME: the image without its extension) that reads as a map.
// Empty when there is none.
QString mapBesideImage(const QString& imagePath);

}  // namespace brantlow::gui
