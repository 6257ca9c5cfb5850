// The brova subcommands. Each takes its arguments with its own name first
// ("brova stream", PORT, options ...), returns the exit code, and throws
// brovacli::Failure for a failure a user can act on.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include "configrequest.h"
#include "sensorconfig.h"

class BrovaDAQ;

namespace brovacli {

int runList(const QStringList& args);
int runInfo(const QStringList& args);
int runConfig(const QStringList& args);
int runStream(const QStringList& args);
int runCapture(const QStringList& args);
int runCalibrate(const QStringList& args);

using brovatools::ConfigRequest;
// The --rate, --filter and --mode options, and their checked values.
void addConfigOptions(QCommandLineParser& p);
ConfigRequest configFromOptions(const QCommandLineParser& p);
// Sends what is asked (fields not asked keep the device's present values)
// and checks that the device confirms it. Returns what the device reports;
// throws ExitDevice, saying what it reports, when it does not confirm.
SensorConfig applyConfig(BrovaDAQ& daq, const QString& port, const ConfigRequest& want);

} // namespace brovacli
