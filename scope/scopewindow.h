// brova-scope's window: the sensors present (following plug and unplug),
// simulated sensors to try it without hardware, the live plots and values of
// the open sensor (in N and N·m when a calibration file is found or named,
// with a "counts" switch back to counts), tare, configuration, recording and
// the device's health.
#pragma once

#include <QMainWindow>
#include <QStringList>
#include <QTimer>

#include <memory>

#include "calibrationlookup.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace brvsim {
class Device;
}

namespace brovascope {

class Discovery;
class PlotPanel;
class SensorSession;

class ScopeWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int frameIntervalMs = 36;  // about 27 redraws a second

    explicit ScopeWindow(QWidget* parent = nullptr);
    ~ScopeWindow() override;

    // How long the window waits for discovery to identify a port given
    // without a kind before it says that nothing answered yet.
    static constexpr int identifyWaitMs = 8000;

    // Opens port as kind (the list's Open button does the same). Kind 0:
    // discovery identifies the port first (it is watched by name), and it is
    // opened as what answers.
    void openSensor(QString port, int kind, bool sixAxisView = false);
    // Starts a simulated sensor of kind on a pseudo-terminal, lists it and
    // opens it. moving: its load follows a slow wave (off: a steady load, for
    // tests). Returns its port (a link to the pseudo-terminal).
    QString simulate(int kind, bool moving = true);
    // Whether a four-channel device is shown as one six-axis sensor when the
    // next sensor is opened from the list or simulated.
    void setSixAxisView(bool on);
    // The calibration of the sensors opened from now on: named (a file read
    // and checked; used for a sensor it fits, or any with force), none
    // (counts only), or, by default, the file lookup finds by the sensor's
    // identity. A named file that does not fit the sensor is said, and the
    // values stay in counts.
    void setCalibrationOptions(std::shared_ptr<const brovatools::CalibrationFile> named, bool none, bool force);
    brvsim::Device* simulator() { return sim_.get(); }

    SensorSession& session() { return *session_; }
    PlotPanel& plots() { return *plots_; }

private:
    void buildUi();
    void onOpened(bool ok, const QString& message);
    void onLost(const QString& message);
    void onFound(const QString& port, const QString& kind, const QString& id);
    void onPortLost(const QString& port);
    void redraw();
    void showState(int state);
    void applyConfig();
    void toggleRecording();
    void recordingEnded();
    // A new file name in dir for the next recording: a timestamp, and a
    // counter when that name is taken.
    static QString newRecordPath(const QString& dir, const QString& suffix = QStringLiteral("csv"));
    void unplugSimulator();
    void showMessage(const QString& text, bool warning);
    // Chooses the open sensor's calibration and says which.
    void applyCalibration();
    QString unitsText() const;

    std::unique_ptr<SensorSession> session_;
    std::unique_ptr<Discovery> discovery_;
    std::unique_ptr<brvsim::Device> sim_;
    QString simLink_;
    int simKind_ = 0;
    QTimer simWave_;
    QTimer frameTimer_;
    unsigned frame_ = 0;
    QString lostPort_;
    int lostKind_ = 0;
    bool lostSixAxisView_ = false;
    QString pendingPort_;  // given without a kind: opened once discovery identifies it
    bool pendingSixAxisView_ = false;
    QTimer pendingWait_;
    std::shared_ptr<const brovatools::CalibrationFile> calibrationNamed_;
    bool calibrationNone_ = false, calibrationForce_ = false;

    QListWidget* sensors_ = nullptr;
    QCheckBox* sixAxisView_ = nullptr;
    QComboBox* simKindBox_ = nullptr;
    QPushButton* simUnplug_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* state_ = nullptr;
    QLabel* calibration_ = nullptr;
    QCheckBox* counts_ = nullptr;
    QLabel* message_ = nullptr;
    QPushButton* reopen_ = nullptr;
    PlotPanel* plots_ = nullptr;
    QWidget* values_ = nullptr;
    QList<QLabel*> valueLabels_;
    QComboBox* tareChannel_ = nullptr;
    QComboBox* rate_ = nullptr;
    QComboBox* filter_ = nullptr;
    QComboBox* mode_ = nullptr;
    QLabel* configResult_ = nullptr;
    QDoubleSpinBox* window_ = nullptr;
    QLineEdit* recordPath_ = nullptr;
    QComboBox* recordFormat_ = nullptr;  // CSV, or MCAP (a recording as brova record writes it)
    QPushButton* record_ = nullptr;
    QLabel* recording_ = nullptr;
    QLabel* status_ = nullptr;
};

} // namespace brovascope
