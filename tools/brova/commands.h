// The brova subcommands. Each takes its arguments with its own name first
// ("brova stream", PORT, options ...), returns the exit code, and throws
// brovacli::Failure for a failure a user can act on.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include "sensorconfig.h"

class BrovaDAQ;

namespace brovacli {

int runList(const QStringList& args);
int runInfo(const QStringList& args);
int runConfig(const QStringList& args);
int runStream(const QStringList& args);
int runCapture(const QStringList& args);

// What a configuration request asks for: 0 / -1 keep the device's value.
struct ConfigRequest {
    int rate = 0;     // 1000, 333, 100, 30
    int filter = -1;  // 0, 150, 50, 15
    int mode = -1;    // 0 raw, 1 vector
    bool any() const { return rate || filter >= 0 || mode >= 0; }
};
// The --rate, --filter and --mode options, and their checked values.
void addConfigOptions(QCommandLineParser& p);
ConfigRequest configFromOptions(const QCommandLineParser& p);
// Sends what is asked (fields not asked keep the device's present values)
// and checks that the device confirms it. Returns what the device reports;
// throws ExitDevice, saying what it reports, when it does not confirm.
SensorConfig applyConfig(BrovaDAQ& daq, const QString& port, const ConfigRequest& want);
QString describeConfig(const SensorConfig& c);

} // namespace brovacli
