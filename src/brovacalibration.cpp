// BrovaCalibration: the facade. Loading and saving (through the file
// format's checks, brovacalibration_file.cpp), identity, building one in code;
// applying is in brovacalibration_apply.cpp.
#include "brovacalibration.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QString>

#include <cmath>
#include <cstddef>

#include "brovacalibration_p.h"

using namespace brova::calibration;

BrovaCalibration::BrovaCalibration() : d(new BrovaCalibration_private) {}

BrovaCalibration::~BrovaCalibration()
{
    delete d;
}

BrovaCalibration::BrovaCalibration(const BrovaCalibration& other) : d(new BrovaCalibration_private(*other.d)) {}

BrovaCalibration& BrovaCalibration::operator=(const BrovaCalibration& other)
{
    if (this != &other)
        *d = *other.d;
    return *this;
}

bool BrovaCalibration::load(const std::string& path)
{
    std::string bytes, error;
    if (!readFile(path, bytes, error)) {
        d->error = error;
        return false;
    }
    return loadJson(bytes, path);
}

bool BrovaCalibration::loadJson(const std::string& text, const std::string& name)
{
    BrovaCalibration_private fresh;
    fresh.name = name;
    std::string error;
    if (!parseText(text, name, fresh, error)) {
        d->error = error;
        return false;
    }
    fresh.sha256 = QCryptographicHash::hash(QByteArray::fromRawData(text.data(), static_cast<int>(text.size())),
                                            QCryptographicHash::Sha256)
                       .toHex()
                       .toStdString();
    *d = std::move(fresh);
    d->error.clear();
    return true;
}

bool BrovaCalibration::save(const std::string& path)
{
    const std::string whole = wholeError(*d);
    if (!whole.empty()) {
        d->error = path + ": nothing valid to write: " + whole;
        return false;
    }
    const std::string text = toText(*d);
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly)) {
        d->error = path + ": cannot be written: " + file.errorString().toStdString();
        return false;
    }
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit()) {
        d->error = path + ": cannot be written: " + file.errorString().toStdString();
        return false;
    }
    d->error.clear();
    return true;
}

std::string BrovaCalibration::toJson() const
{
    if (!wholeError(*d).empty())
        return std::string();
    return toText(*d);
}

std::string BrovaCalibration::error() const
{
    return d->error;
}

std::string BrovaCalibration::sha256() const
{
    return d->sha256;
}

bool BrovaCalibration::isValid() const
{
    return wholeError(*d).empty();
}

int BrovaCalibration::kind() const
{
    return d->hasIdentity ? d->kind : 0;
}

std::string BrovaCalibration::identification() const
{
    return d->identification;
}

std::string BrovaCalibration::serial() const
{
    return d->serial;
}

std::string BrovaCalibration::date() const
{
    return d->date;
}

namespace {

std::string trimmed(const std::string& s)
{
    const std::size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos)
        return std::string();
    const std::size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

} // namespace

bool BrovaCalibration::matches(int kind, const std::string& identification)
{
    const std::string whole = wholeError(*d);
    if (!whole.empty()) {
        d->error = d->name + ": no valid calibration held: " + whole;
        return false;
    }
    if (kind != d->kind) {
        d->error = d->name + ": identity.kind: the calibration is for kind " + std::to_string(d->kind) +
                   ", the device is of kind " + std::to_string(kind);
        return false;
    }
    const std::string mine = trimmed(d->identification);
    const std::string theirs = trimmed(identification);
    if (!mine.empty() && !theirs.empty() && mine != theirs) {
        d->error = d->name + ": identity.identification: the calibration is for " + quoted(mine) +
                   ", the device is " + quoted(theirs);
        return false;
    }
    d->error.clear();
    return true;
}

bool BrovaCalibration::hasChannel(int channel) const
{
    return channel >= 0 && channel < kChannels && d->channels[channel].present;
}

bool BrovaCalibration::hasSixAxis() const
{
    return d->sixAxis.present;
}

bool BrovaCalibration::hasTool() const
{
    return d->hasTool;
}


bool BrovaCalibration::setIdentity(int kind, const std::string& identification, const std::string& serial,
                                   const std::string& date)
{
    if (!knownKind(kind)) {
        d->error = d->name + ": identity.kind: " + std::to_string(kind) + ": one of 31, 34, 64, 68, 94, 95 expected";
        return false;
    }
    Data next = *d;
    next.hasIdentity = true;
    next.kind = kind;
    next.identification = identification;
    next.serial = serial;
    next.date = date;
    const std::string conflict = conflictError(next);
    if (!conflict.empty()) {
        d->error = d->name + ": " + conflict;
        return false;
    }
    static_cast<Data&>(*d) = std::move(next);
    d->sha256.clear();
    d->error.clear();
    return true;
}

bool BrovaCalibration::setChannel(int channel, const std::vector<std::string>& inputs,
                                  const std::vector<double>& matrix, const std::vector<double>& bias)
{
    if (channel < 0 || channel >= kChannels) {
        d->error = d->name + ": channels: channel " + std::to_string(channel) + ": an index 0 ... 15 expected";
        return false;
    }
    Block b;
    std::string field, why;
    if (!makeBlock(3, inputs, matrix, bias, b, field, why)) {
        d->error = d->name + ": channel " + std::to_string(channel) + ": " + field + ": " + why;
        return false;
    }
    d->channels[channel] = std::move(b);
    d->sha256.clear();
    d->error.clear();
    return true;
}

bool BrovaCalibration::setSixAxis(const std::vector<std::string>& inputs, const std::vector<double>& matrix,
                                  const std::vector<double>& bias)
{
    Block b;
    std::string field, why;
    if (!makeBlock(6, inputs, matrix, bias, b, field, why)) {
        d->error = d->name + ": sixAxis." + field + ": " + why;
        return false;
    }
    Data next = *d;
    next.sixAxis = std::move(b);
    const std::string conflict = conflictError(next);
    if (!conflict.empty()) {
        d->error = d->name + ": " + conflict;
        return false;
    }
    static_cast<Data&>(*d) = std::move(next);
    d->sha256.clear();
    d->error.clear();
    return true;
}

bool BrovaCalibration::setTool(const double (&translation)[3], const double (&rotation)[9])
{
    for (int i = 0; i < 3; ++i) {
        const std::string why = translationError(translation[i]);
        if (!why.empty()) {
            d->error = d->name + ": tool.translation[" + std::to_string(i) + "]: " + why;
            return false;
        }
    }
    std::string why;
    if (!isRotation(rotation, why)) {
        d->error = d->name + ": tool.rotation: " + why;
        return false;
    }
    for (int i = 0; i < 3; ++i)
        d->translation[i] = translation[i];
    for (int i = 0; i < 9; ++i)
        d->rotation[i] = rotation[i];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            d->rotationT[i * 3 + j] = rotation[j * 3 + i];
    d->hasTool = true;
    d->sha256.clear();
    d->error.clear();
    return true;
}

bool BrovaCalibration::tool(double (&translation)[3], double (&rotation)[9]) const
{
    if (!d->hasTool)
        return false;
    for (int i = 0; i < 3; ++i)
        translation[i] = d->translation[i];
    for (int i = 0; i < 9; ++i)
        rotation[i] = d->rotation[i];
    return true;
}

bool BrovaCalibration::setProvenance(const std::string& json)
{
    if (trimmed(json).empty()) {
        d->provenance = QJsonObject();
        d->hasProvenance = false;
        d->sha256.clear();
        d->error.clear();
        return true;
    }
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &perr);
    if (perr.error != QJsonParseError::NoError) {
        d->error = d->name + ": provenance: not valid JSON: " + perr.errorString().toStdString() + " (offset " +
                   std::to_string(perr.offset) + ")";
        return false;
    }
    if (!doc.isObject()) {
        d->error = d->name + ": provenance: a JSON object expected";
        return false;
    }
    d->provenance = doc.object();
    d->hasProvenance = true;
    d->sha256.clear();
    d->error.clear();
    return true;
}

std::string BrovaCalibration::provenance() const
{
    if (!d->hasProvenance)
        return std::string();
    return QJsonDocument(d->provenance).toJson(QJsonDocument::Compact).toStdString();
}

std::vector<std::string> BrovaCalibration::inputs(int channel) const
{
    if (channel == -1)
        return d->sixAxis.names;
    if (channel < 0 || channel >= kChannels)
        return {};
    return d->channels[channel].names;
}

std::vector<double> BrovaCalibration::matrix(int channel) const
{
    if (channel == -1)
        return d->sixAxis.matrix;
    if (channel < 0 || channel >= kChannels)
        return {};
    return d->channels[channel].matrix;
}

std::vector<double> BrovaCalibration::bias(int channel) const
{
    if (channel == -1)
        return d->sixAxis.bias;
    if (channel < 0 || channel >= kChannels)
        return {};
    return d->channels[channel].bias;
}

bool BrovaCalibration::setRange(int channel, const std::vector<double>& range)
{
    const bool six = channel == -1;
    if (!six && (channel < 0 || channel >= kChannels)) {
        d->error = d->name + ": channels: channel " + std::to_string(channel) + ": an index 0 ... 15 (or -1) expected";
        return false;
    }
    Block& b = six ? d->sixAxis : d->channels[channel];
    const std::string where = six ? "sixAxis" : "channel " + std::to_string(channel);
    if (!b.present) {
        d->error = d->name + ": " + where + ": not calibrated: a range needs its matrix first";
        return false;
    }
    std::string field, why;
    if (!brova::calibration::setRange(b.rows, range, b, field, why)) {
        d->error = d->name + ": " + where + (six ? "." : ": ") + field + ": " + why;
        return false;
    }
    d->sha256.clear();
    d->error.clear();
    return true;
}

std::vector<double> BrovaCalibration::range(int channel) const
{
    if (channel == -1)
        return d->sixAxis.range;
    if (channel < 0 || channel >= kChannels)
        return {};
    return d->channels[channel].range;
}
