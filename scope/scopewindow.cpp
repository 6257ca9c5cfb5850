#include "scopewindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include <unistd.h>

#include <cmath>

#include "brvsim.h"
#include "discovery.h"
#include "kinds.h"
#include "plots.h"
#include "portcheck.h"
#include "session.h"

namespace brovascope {

namespace {

QPushButton* button(const QString& text, const char* name)
{
    auto* b = new QPushButton(text);
    b->setObjectName(QLatin1String(name));
    return b;
}

// A simulated sensor's load: channel c at (100 (c + 1), -50 (c + 1), 20000 +
// c), a six-axis sensor at (-1000, 2000, 3000, 400, -500, 600); with wave 1
// on slow waves around those values, with wave 0 steady.
void setSimLoad(brvsim::Device& dev, int kind, double t, double wave)
{
    for (int c = 0; c < brvsim::channelCount(kind); ++c) {
        const double phase = t * 2.0 + c;
        dev.setLoad(c, {static_cast<int>(100 * (c + 1) + wave * 1500 * std::sin(phase)),
                        static_cast<int>(-50 * (c + 1) + wave * 1200 * std::sin(0.7 * phase)),
                        static_cast<int>(20000 + c + wave * 3000 * std::sin(0.3 * phase))});
    }
    dev.setLoad6({static_cast<int>(-1000 + wave * 800 * std::sin(t)), static_cast<int>(2000 + wave * 600 * std::sin(1.3 * t)),
                  static_cast<int>(3000 + wave * 900 * std::sin(0.5 * t)), static_cast<int>(400 + wave * 300 * std::sin(2 * t)),
                  static_cast<int>(-500 + wave * 250 * std::sin(t)), static_cast<int>(600 + wave * 200 * std::sin(0.8 * t))});
}

} // namespace

ScopeWindow::ScopeWindow(QWidget* parent)
    : QMainWindow(parent), session_(std::make_unique<SensorSession>()), discovery_(std::make_unique<Discovery>())
{
    setWindowTitle(QStringLiteral("brova-scope"));
    buildUi();
    connect(session_.get(), &SensorSession::opened, this, &ScopeWindow::onOpened);
    connect(session_.get(), &SensorSession::lost, this, &ScopeWindow::onLost);
    connect(session_.get(), &SensorSession::stateChanged, this, &ScopeWindow::showState);
    connect(session_.get(), &SensorSession::recordingFailed, this, [this](const QString& text) {
        recordingEnded();
        showMessage(text, true);
    });
    connect(session_.get(), &SensorSession::configured, this, [this](bool confirmed, const QString& text) {
        configResult_->setText(text);
        configResult_->setStyleSheet(confirmed ? QStringLiteral("color: #1a7f37") : QStringLiteral("color: #c62828"));
    });
    connect(discovery_.get(), &Discovery::found, this, &ScopeWindow::onFound);
    connect(discovery_.get(), &Discovery::lost, this, &ScopeWindow::onPortLost);
    frameTimer_.setInterval(frameIntervalMs);
    connect(&frameTimer_, &QTimer::timeout, this, &ScopeWindow::redraw);
    frameTimer_.start();
    simWave_.setInterval(20);
    connect(&simWave_, &QTimer::timeout, this, [this] {
        if (sim_)
            setSimLoad(*sim_, simKind_, session_->now(), 1.0);
    });
    pendingWait_.setSingleShot(true);
    pendingWait_.setInterval(identifyWaitMs);
    connect(&pendingWait_, &QTimer::timeout, this, [this] {
        if (!pendingPort_.isEmpty())
            showMessage(QStringLiteral("Nothing identified on %1 yet: it is opened as soon as a sensor answers there.")
                            .arg(pendingPort_),
                        true);
    });
    discovery_->start();
}

ScopeWindow::~ScopeWindow()
{
    session_->close();
    discovery_.reset();
    if (sim_)
        sim_->stop();
    if (!simLink_.isEmpty())
        ::unlink(simLink_.toLocal8Bit().constData());
}

void ScopeWindow::buildUi()
{
    auto* central = new QWidget;
    auto* top = new QHBoxLayout(central);

    // Left: sensors and the simulator.
    auto* left = new QVBoxLayout;
    auto* found = new QGroupBox(QStringLiteral("Sensors"));
    auto* foundLayout = new QVBoxLayout(found);
    sensors_ = new QListWidget;
    sensors_->setObjectName(QStringLiteral("sensors"));
    foundLayout->addWidget(sensors_);
    sixAxisView_ = new QCheckBox(QStringLiteral("four channels as one six-axis sensor"));
    foundLayout->addWidget(sixAxisView_);
    auto* open = button(QStringLiteral("Open"), "open");
    foundLayout->addWidget(open);
    connect(open, &QPushButton::clicked, this, [this] {
        if (auto* item = sensors_->currentItem())
            openSensor(item->data(Qt::UserRole).toString(), item->data(Qt::UserRole + 1).toInt(),
                       sixAxisView_->isChecked());
    });
    connect(sensors_, &QListWidget::itemDoubleClicked, open, &QPushButton::click);
    left->addWidget(found);

    auto* simBox = new QGroupBox(QStringLiteral("Simulated sensor (no hardware needed)"));
    auto* simLayout = new QVBoxLayout(simBox);
    simKindBox_ = new QComboBox;
    for (const brovatools::Kind& k : brovatools::kinds)
        simKindBox_->addItem(QStringLiteral("%1: %2").arg(k.code).arg(QString::fromLatin1(k.what)), k.code);
    simKindBox_->setCurrentIndex(simKindBox_->findData(68));
    simLayout->addWidget(simKindBox_);
    auto* simulateButton = button(QStringLiteral("Start and open"), "simulate");
    connect(simulateButton, &QPushButton::clicked, this, [this] { simulate(simKindBox_->currentData().toInt()); });
    simLayout->addWidget(simulateButton);
    simUnplug_ = button(QStringLiteral("Unplug"), "simUnplug");
    simUnplug_->setEnabled(false);
    connect(simUnplug_, &QPushButton::clicked, this, &ScopeWindow::unplugSimulator);
    simLayout->addWidget(simUnplug_);
    left->addWidget(simBox);
    left->addStretch();
    top->addLayout(left, 0);

    // Right: the open sensor.
    auto* right = new QVBoxLayout;
    auto* head = new QHBoxLayout;
    title_ = new QLabel(QStringLiteral("No sensor open: pick one, or start a simulated sensor."));
    title_->setObjectName(QStringLiteral("title"));
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    head->addWidget(title_, 1);
    state_ = new QLabel;
    state_->setObjectName(QStringLiteral("state"));
    head->addWidget(state_);
    right->addLayout(head);

    // The calibration file in use, and the switch back to counts.
    auto* units = new QHBoxLayout;
    calibration_ = new QLabel;
    calibration_->setObjectName(QStringLiteral("calibration"));
    calibration_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    units->addWidget(calibration_, 1);
    counts_ = new QCheckBox(QStringLiteral("counts"));
    counts_->setObjectName(QStringLiteral("counts"));
    counts_->setToolTip(QStringLiteral("Show the raw counts instead of N and N·m"));
    counts_->setEnabled(false);
    connect(counts_, &QCheckBox::toggled, this, [this](bool on) {
        session_->setShowCounts(on);
        if (session_->isOpen())
            plots_->setUp(*session_);
        frame_ = 3;  // the numbers follow at the next frame
        redraw();
    });
    units->addWidget(counts_);
    right->addLayout(units);

    auto* bar = new QHBoxLayout;
    message_ = new QLabel;
    message_->setObjectName(QStringLiteral("message"));
    message_->setWordWrap(true);
    message_->hide();
    bar->addWidget(message_, 1);
    reopen_ = button(QStringLiteral("Reopen"), "reopen");
    reopen_->hide();
    connect(reopen_, &QPushButton::clicked, this, [this] { openSensor(lostPort_, lostKind_, lostSixAxisView_); });
    bar->addWidget(reopen_);
    right->addLayout(bar);

    auto* middle = new QHBoxLayout;
    plots_ = new PlotPanel;
    middle->addWidget(plots_, 1);
    values_ = new QWidget;
    values_->setLayout(new QGridLayout);
    middle->addWidget(values_);
    right->addLayout(middle, 1);

    auto* controls = new QHBoxLayout;
    tareChannel_ = new QComboBox;
    tareChannel_->setObjectName(QStringLiteral("tareChannel"));
    tareChannel_->addItem(QStringLiteral("all channels"), -1);
    controls->addWidget(tareChannel_);
    auto* tare = button(QStringLiteral("Tare"), "tare");
    connect(tare, &QPushButton::clicked, this, [this] { session_->tare(tareChannel_->currentData().toInt()); });
    controls->addWidget(tare);
    auto* untare = button(QStringLiteral("Untare"), "untare");
    connect(untare, &QPushButton::clicked, this, [this] { session_->untare(tareChannel_->currentData().toInt()); });
    controls->addWidget(untare);
    controls->addSpacing(12);
    rate_ = new QComboBox;
    rate_->setObjectName(QStringLiteral("rate"));
    for (int r : {1000, 333, 100, 30})
        rate_->addItem(QStringLiteral("%1 per second").arg(r), r);
    controls->addWidget(rate_);
    filter_ = new QComboBox;
    filter_->setObjectName(QStringLiteral("filter"));
    for (int f : {0, 150, 50, 15})
        filter_->addItem(f ? QStringLiteral("filter %1 Hz").arg(f) : QStringLiteral("no filter"), f);
    controls->addWidget(filter_);
    mode_ = new QComboBox;
    mode_->setObjectName(QStringLiteral("mode"));
    mode_->addItem(QStringLiteral("raw mode"), 0);
    mode_->addItem(QStringLiteral("vector mode"), 1);
    controls->addWidget(mode_);
    auto* apply = button(QStringLiteral("Send"), "apply");
    connect(apply, &QPushButton::clicked, this, &ScopeWindow::applyConfig);
    controls->addWidget(apply);
    configResult_ = new QLabel;
    configResult_->setObjectName(QStringLiteral("configResult"));
    controls->addWidget(configResult_, 1);
    right->addLayout(controls);

    auto* recordRow = new QHBoxLayout;
    recordRow->addWidget(new QLabel(QStringLiteral("window")));
    window_ = new QDoubleSpinBox;
    window_->setObjectName(QStringLiteral("window"));
    window_->setRange(0.5, 60.0);
    window_->setValue(5.0);
    window_->setSuffix(QStringLiteral(" s"));
    connect(window_, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            [this](double s) { session_->setWindowSeconds(s); });
    recordRow->addWidget(window_);
    recordRow->addSpacing(12);
    // CSV, or MCAP (ros2 bag's format, as brova record writes it): the
    // file's extension follows the choice, and the extension decides.
    recordFormat_ = new QComboBox;
    recordFormat_->setObjectName(QStringLiteral("recordFormat"));
    recordFormat_->addItem(QStringLiteral("CSV"), QStringLiteral("csv"));
    recordFormat_->addItem(QStringLiteral("MCAP"), QStringLiteral("mcap"));
    recordRow->addWidget(recordFormat_);
    recordPath_ = new QLineEdit(newRecordPath(QDir::homePath()));
    recordPath_->setObjectName(QStringLiteral("recordPath"));
    recordRow->addWidget(recordPath_, 1);
    connect(recordFormat_, qOverload<int>(&QComboBox::currentIndexChanged), this, [this] {
        const QString suffix = recordFormat_->currentData().toString();
        QString path = recordPath_->text();
        const QFileInfo info(path);
        if (info.suffix().compare(suffix, Qt::CaseInsensitive) != 0)
            path = (info.suffix().isEmpty() ? path : path.left(path.size() - info.suffix().size() - 1)) +
                   QLatin1Char('.') + suffix;
        recordPath_->setText(path);
    });
    // The button keeps its size whatever it says: it stays under the pointer
    // between Record and Stop.
    record_ = button(QStringLiteral("Record"), "record");
    record_->setCheckable(true);
    record_->setText(QStringLiteral("Stop"));
    QSize size = record_->sizeHint();
    record_->setText(QStringLiteral("Record"));
    size = size.expandedTo(record_->sizeHint());
    record_->setFixedSize(size);
    connect(record_, &QPushButton::clicked, this, &ScopeWindow::toggleRecording);
    recordRow->addWidget(record_);
    right->addLayout(recordRow);
    top->addLayout(right, 1);

    setCentralWidget(central);
    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("status"));
    statusBar()->addWidget(status_, 1);
    // The recording's counts: in the status bar, where text of any length
    // moves nothing the user clicks.
    recording_ = new QLabel;
    recording_->setObjectName(QStringLiteral("recording"));
    statusBar()->addPermanentWidget(recording_);
    resize(1200, 760);
}

void ScopeWindow::showMessage(const QString& text, bool warning)
{
    message_->setText(text);
    message_->setStyleSheet(warning ? QStringLiteral("background: #fff3cd; color: #6b4f00; padding: 6px;")
                                    : QStringLiteral("padding: 6px;"));
    message_->setVisible(!text.isEmpty());
}

void ScopeWindow::setSixAxisView(bool on)
{
    sixAxisView_->setChecked(on);
}

void ScopeWindow::setCalibrationOptions(std::shared_ptr<const brovatools::CalibrationFile> named, bool none,
                                        bool force)
{
    calibrationNamed_ = std::move(named);
    calibrationNone_ = none;
    calibrationForce_ = force;
}

void ScopeWindow::applyCalibration()
{
    const brovatools::Kind* k = brovatools::kindOf(session_->kind());
    brovatools::SensorIdentity id;
    id.kind = session_->kind();
    id.identification = session_->identification().toStdString();
    id.byId = brovatools::byIdName(session_->port().toLocal8Bit().toStdString());
    id.sixAxisRead = session_->readsSixAxis();
    id.channels = k && k->fourChannel ? 4 : 1;
    const brovatools::CalibrationChoice choice =
        brovatools::chooseCalibration(calibrationNamed_, calibrationNone_, calibrationForce_, id);
    session_->setCalibration(choice.file, choice.forced);
    session_->setShowCounts(counts_->isChecked());
    counts_->setEnabled(choice.file != nullptr);
    QString text = QString::fromLocal8Bit(choice.line.c_str());
    if (!choice.refused.empty()) {
        text = QStringLiteral("calibration: none: values are counts");
        showMessage(QStringLiteral("Calibration not applied: %1. Values are counts.")
                        .arg(QString::fromLocal8Bit(choice.refused.c_str())),
                    true);
    } else if (!choice.skipped.empty() || !choice.unmatched.empty()) {
        QStringList told;
        if (!choice.skipped.empty()) {
            QStringList skipped;
            for (const std::string& why : choice.skipped)
                skipped << QString::fromLocal8Bit(why.c_str());
            told << QStringLiteral("Calibration files skipped: %1").arg(skipped.join(QStringLiteral("; ")));
        }
        if (!choice.unmatched.empty()) {
            QStringList unmatched;
            for (const std::string& why : choice.unmatched)
                unmatched << QString::fromLocal8Bit(why.c_str());
            told << QStringLiteral("Calibration files not picked: %1").arg(unmatched.join(QStringLiteral("; ")));
        }
        showMessage(told.join(QStringLiteral(". ")), true);
    }
    calibration_->setText(text);
}

QString ScopeWindow::unitsText() const
{
    if (!session_->showsForces())
        return QStringLiteral("values in raw counts");
    // Torque only where a six-axis sensor is shown.
    return session_->groupTitles().contains(QStringLiteral("Torque")) ? QStringLiteral("values in N and N·m")
                                                                       : QStringLiteral("values in N");
}

void ScopeWindow::openSensor(QString port, int kind, bool sixAxisView)
{
    if (session_->isBusy()) {
        showMessage(QStringLiteral("Still busy with %1: try again in a moment.").arg(session_->port()), true);
        return;
    }
    reopen_->hide();
    pendingPort_.clear();
    pendingWait_.stop();
    if (record_->isChecked())
        recordingEnded();  // opening another sensor ends the recording
    if (!kind) {
        // Without a kind: the kind the list knows, or what discovery
        // identifies on the port.
        for (QListWidgetItem* item : sensors_->findItems(port + QLatin1Char(' '), Qt::MatchStartsWith))
            kind = item->data(Qt::UserRole + 1).toInt();
    }
    if (!kind) {
        std::string why;
        if (brovatools::checkPort(port.toLocal8Bit().toStdString(), why) != brovatools::PortProblem::None) {
            showMessage(QString::fromLocal8Bit(why.c_str()), true);
            return;
        }
        pendingPort_ = port;
        pendingSixAxisView_ = sixAxisView;
        discovery_->watch(port);
        pendingWait_.start();
        showMessage(QStringLiteral("Identifying the sensor on %1 ...").arg(port), false);
        return;
    }
    showMessage(QStringLiteral("Opening %1 ...").arg(port), false);
    lostPort_.clear();
    lostKind_ = kind;
    lostSixAxisView_ = sixAxisView;
    session_->setWindowSeconds(window_->value());
    session_->open(port, kind, sixAxisView);
}

QString ScopeWindow::simulate(int kind, bool moving)
{
    if (sim_) {
        if (session_->port() == simLink_)
            session_->close();
        sim_->stop();
        ::unlink(simLink_.toLocal8Bit().constData());
    }
    simKind_ = kind;
    simKindBox_->setCurrentIndex(simKindBox_->findData(kind));
    sim_ = std::make_unique<brvsim::Device>(kind);
    if (brvsim::isStreamingKind(kind))
        sim_->setConfigByte(0xA0);  // starts at 1000 samples per second
    setSimLoad(*sim_, kind, 0.0, 0.0);
    if (moving)
        sim_->setNoise(12, 7);
    if (!sim_->start()) {
        showMessage(QStringLiteral("Cannot start a simulated sensor: no pseudo-terminal."), true);
        return QString();
    }
    // A link of a fixed name: plugged back in, the sensor comes back under it.
    static int serial = 0;
    simLink_ = QStringLiteral("/tmp/brv-%1-%2").arg(::getpid()).arg(++serial);
    ::unlink(simLink_.toLocal8Bit().constData());
    if (::symlink(sim_->portName().c_str(), simLink_.toLocal8Bit().constData()) != 0)
        simLink_ = QString::fromStdString(sim_->portName());
    // Discovery cannot identify a port while it is open here: list it now
    // (discovery watches it once it is open).
    onFound(simLink_, QStringLiteral("%1 (simulated)").arg(kind), QString());
    simUnplug_->setEnabled(true);
    simUnplug_->setText(QStringLiteral("Unplug"));
    if (moving)
        simWave_.start();
    openSensor(simLink_, kind, sixAxisView_->isChecked());
    return simLink_;
}

void ScopeWindow::unplugSimulator()
{
    if (!sim_)
        return;
    if (sim_->running()) {
        sim_->hangUp();
        simUnplug_->setText(QStringLiteral("Plug back in"));
        return;
    }
    if (sim_->start()) {
        ::unlink(simLink_.toLocal8Bit().constData());
        [[maybe_unused]] const int linked = ::symlink(sim_->portName().c_str(), simLink_.toLocal8Bit().constData());
        simUnplug_->setText(QStringLiteral("Unplug"));
    }
}

void ScopeWindow::onOpened(bool ok, const QString& message)
{
    // Discovery follows the port from now on (unplugged, plugged back in;
    // when this was not its kind, what it is), without competing with the
    // identification that confirmed the kind.
    discovery_->watch(session_->port());
    if (!ok) {
        showMessage(message, true);
        return;
    }
    showMessage(QString(), false);
    const brovatools::Kind* k = brovatools::kindOf(session_->kind());
    onFound(session_->port(), QString::fromLatin1(k ? k->text : ""), QString());
    title_->setText(message);
    applyCalibration();
    plots_->setUp(*session_);
    auto* grid = static_cast<QGridLayout*>(values_->layout());
    qDeleteAll(valueLabels_);
    valueLabels_.clear();
    const QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (size_t i = 0; i < session_->traces().size(); ++i) {
        auto* label = new QLabel;
        label->setObjectName(QStringLiteral("value%1").arg(i));
        label->setFont(mono);
        label->setMinimumWidth(120);
        grid->addWidget(label, static_cast<int>(i), 0);
        valueLabels_ << label;
    }
    tareChannel_->clear();
    tareChannel_->addItem(QStringLiteral("all channels"), -1);
    for (int c = 0; session_->channels() > 1 && c < session_->channels(); ++c)
        tareChannel_->addItem(QStringLiteral("channel %1").arg(c), c);
    const SensorConfig c = session_->config();
    rate_->setCurrentIndex(rate_->findData(c.getSpeed()));
    filter_->setCurrentIndex(filter_->findData(c.getFilter()));
    mode_->setCurrentIndex(c.getMode());
    configResult_->clear();
    showState(session_->state());
}

void ScopeWindow::onLost(const QString& message)
{
    lostPort_ = session_->port();
    if (record_->isChecked())
        recordingEnded();
    title_->setText(QStringLiteral("%1: lost").arg(lostPort_));
    state_->setText(QStringLiteral("lost: nothing arrives"));
    state_->setStyleSheet(QStringLiteral("background: #6b6b6b; color: white; font-weight: bold; padding: 4px;"));
    status_->setText(QStringLiteral("no measured rate: the sensor is lost   ·   %1").arg(unitsText()));
    onPortLost(lostPort_);
    showMessage(message + QStringLiteral(" Plug it back in to reopen it."), true);
}

void ScopeWindow::onFound(const QString& port, const QString& kind, const QString& id)
{
    const int code = kind.left(2).toInt();
    if (sensors_->findItems(port + QLatin1Char(' '), Qt::MatchStartsWith).isEmpty()) {
        auto* item = new QListWidgetItem(QStringLiteral("%1  %2  %3").arg(port, kind, id));
        item->setData(Qt::UserRole, port);
        item->setData(Qt::UserRole + 1, code);
        sensors_->addItem(item);
    }
    if (!lostPort_.isEmpty() && port == lostPort_) {
        showMessage(QStringLiteral("The sensor on %1 is back.").arg(port), false);
        reopen_->show();
    }
    // A port given without a kind, identified now (under its own name or its
    // system name).
    if (!pendingPort_.isEmpty() && brovatools::kindOf(code) &&
        (port == pendingPort_ || QFileInfo(port).canonicalFilePath() == QFileInfo(pendingPort_).canonicalFilePath()))
        openSensor(pendingPort_, code, pendingSixAxisView_);
}

void ScopeWindow::onPortLost(const QString& port)
{
    for (QListWidgetItem* item : sensors_->findItems(port + QLatin1Char(' '), Qt::MatchStartsWith))
        delete item;
}

void ScopeWindow::showState(int state)
{
    if (state == 5) {
        state_->setText(QStringLiteral("state 5: normal"));
        state_->setStyleSheet(QStringLiteral("color: #555"));
    } else {
        state_->setText(QStringLiteral("STATE %1: THE DEVICE SIGNALS A CONDITION (such as an overload)").arg(state));
        state_->setStyleSheet(QStringLiteral("background: #c62828; color: white; font-weight: bold; padding: 4px;"));
    }
}

void ScopeWindow::applyConfig()
{
    configResult_->setText(QStringLiteral("sending ..."));
    configResult_->setStyleSheet(QString());
    session_->configure(rate_->currentData().toInt(), filter_->currentData().toInt(), mode_->currentData().toInt());
}

QString ScopeWindow::newRecordPath(const QString& dir, const QString& suffix)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (int n = 1;; ++n) {
        const QString path = QDir(dir).filePath(n == 1 ? QStringLiteral("brova-%1.%2").arg(stamp, suffix)
                                                       : QStringLiteral("brova-%1-%2.%3").arg(stamp).arg(n).arg(suffix));
        if (!QFileInfo::exists(path) && !QFileInfo::exists(path + QStringLiteral(".json")))
            return path;
    }
}

void ScopeWindow::recordingEnded()
{
    record_->setChecked(false);
    record_->setText(QStringLiteral("Record"));
    recordPath_->setEnabled(true);
    recordFormat_->setEnabled(true);
    recordPath_->setText(newRecordPath(QFileInfo(recordPath_->text()).absolutePath(),
                                       recordFormat_->currentData().toString()));
}

void ScopeWindow::toggleRecording()
{
    if (!record_->isChecked()) {
        QString why;
        if (!session_->stopRecording(&why))
            showMessage(why, true);
        recordingEnded();
        return;
    }
    const QString path = recordPath_->text();
    bool replace = false;
    if (QFileInfo::exists(path) || QFileInfo::exists(path + QStringLiteral(".json"))) {
        // A recording never replaces a file unless the user says so.
        QMessageBox ask(QMessageBox::Question, QStringLiteral("Replace the file?"),
                        QStringLiteral("%1 or %1.json exists already. Replace it with the new recording?").arg(path),
                        QMessageBox::Yes | QMessageBox::No, this);
        ask.setObjectName(QStringLiteral("replaceQuestion"));
        ask.setDefaultButton(QMessageBox::No);
        if (ask.exec() != QMessageBox::Yes) {
            record_->setChecked(false);
            showMessage(QStringLiteral("Not recorded: %1 is kept. Choose another file name.").arg(path), false);
            return;
        }
        replace = true;
    }
    QString why;
    if (!session_->startRecording(path, replace, why)) {
        record_->setChecked(false);
        showMessage(QStringLiteral("Cannot record: %1").arg(why), true);
        return;
    }
    record_->setText(QStringLiteral("Stop"));
    recordPath_->setEnabled(false);
    recordFormat_->setEnabled(false);
}

void ScopeWindow::redraw()
{
    if (!session_->isOpen())
        return;
    plots_->refresh(*session_, window_->value());
    // Numbers change at a pace that can be read, and text costs more to lay
    // out than lines to draw: every fourth frame.
    if (++frame_ % 4)
        return;
    const auto& traces = session_->traces();
    for (int i = 0; i < valueLabels_.size() && i < static_cast<int>(traces.size()); ++i) {
        const Trace& t = traces[static_cast<size_t>(i)];
        const QString unit = session_->groupUnit(i / SensorSession::tracesPerGroup);
        valueLabels_[i]->setText(unit == QLatin1String("counts")
                                     ? QStringLiteral("%1 %2").arg(t.name(), -6).arg(static_cast<long long>(t.newestValue()), 7)
                                     : QStringLiteral("%1 %2 %3").arg(t.name(), -6).arg(t.newestValue(), 9, 'g', 6).arg(unit));
    }
    const BrovaStatistics s = session_->statistics();
    const double estimated = session_->estimatedRate();
    QString deviceRate = QStringLiteral("not yet estimated");
    if (estimated > 0) {
        // A device that does not keep the rate it was given is said so.
        const int configured = session_->config().getSpeed();
        const double off = configured > 0 ? estimated / configured - 1 : 0;
        deviceRate = QStringLiteral("%1 per second").arg(estimated, 0, 'f', 2);
        if (std::abs(off) > 0.01)
            deviceRate += QStringLiteral(" (%1 % %2 the configured %3)")
                              .arg(std::abs(off) * 100, 0, 'f', 1)
                              .arg(off < 0 ? QStringLiteral("below") : QStringLiteral("above"))
                              .arg(configured);
    }
    // Flagged samples: clipped readings, in red while they last.
    const QString flagged =
        session_->overloaded()
            ? QStringLiteral("OVERLOAD: samples flagged now (%1 since the open)").arg(session_->flaggedSamples())
            : QStringLiteral("flagged samples %1").arg(session_->flaggedSamples());
    status_->setText(QStringLiteral("measured rate %1 per second   ·   device rate %2   ·   checksum failures %3   ·   "
                                    "overflows: %4 bytes discarded   ·   %5   ·   %6")
                         .arg(session_->measuredRate(), 0, 'f', 1)
                         .arg(deviceRate)
                         .arg(s.checksumFailures)
                         .arg(s.bytesDiscarded)
                         .arg(session_->lowPassText().isEmpty() ? unitsText()
                                                                 : unitsText() + QStringLiteral(", ") +
                                                                       session_->lowPassText(),
                              flagged));
    status_->setStyleSheet(session_->overloaded() ? QStringLiteral("color: #c62828; font-weight: bold") : QString());
    recording_->setText(session_->recording() ? QStringLiteral("recording: %1 s, %2 samples")
                                                    .arg(session_->recordingSeconds(), 0, 'f', 1)
                                                    .arg(session_->recordedSamples())
                                              : QString());
}

} // namespace brovascope
