// Recordings in MCAP from the command line: brova record, brova stream
// --output FILE.mcap (the same run), and brova info FILE.mcap.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include "devicesession.h"
#include "mcap.h"
#include "ros2run.h"

namespace brovacli {

// --compression and --force.
void addRecordingOptions(QCommandLineParser& p);
struct RecordingOutput {
    QString path;  // FILE; written as FILE.partial until finished
    brovarecording::Compression compression = brovarecording::Compression::Zstd;
    bool force = false;  // replace FILE (and FILE.partial)
};
// The options' values and the output checked before any port is looked at:
// a directory, a folder that does not exist, an existing FILE or
// FILE.partial without --force (ExitFailure), a bad compression (ExitUsage).
RecordingOutput recordingOutputFrom(const QCommandLineParser& p, const QString& output);
// FILE.mcap: a recording (the format by the extension).
bool isRecordingPath(const QString& output);

// Records the run's ports into out (program names the recorder in the file
// and in the statuses: "brova record", "brova stream"), with lowPass's
// filtered topics when it has a cut-off; the exit code, or a Failure.
int record(const RunOptions& run, const TopicOptions& topics, const RecordingOutput& out, const QString& program,
           const LowPassOptions& lowPass = {});

// brova record.
int runRecord(const QStringList& args);

// brova info FILE: a regular file (ports are devices) is read as a
// recording: its topics, message counts, time span, devices and calibration
// files, and its check.
bool isRecordingFile(const QString& path);
int runRecordingInfo(const QString& path);

} // namespace brovacli
