/// \file
/// BrovaCalibration: a sensor's calibration, from counts to newtons and
/// newton-metres.
///
/// A calibration file (JSON, format "brova-calibration", version 1; the schema
/// is docs/calibration.schema.json, the format is described in
/// docs/calibration.md) holds, for one sensor:
///   - its identity: kind code, identification text (or the port's by-id
///     name), a free-text serial and date;
///   - for each three-axis channel it calibrates, a 3 x k matrix C and a bias
///     b over k chosen inputs of the channel's sample (x, y, z, s1 ... s8):
///     force = C s + b;
///   - for a six-axis sensor (native, or a four-channel device read as one), a
///     6 x k matrix and bias over inputs of the six-axis sample (Fx ... Tz, or
///     sensorN.x ... sensorN.s8 of its four sub-samples, N = 1 ... 4; for a
///     four-channel device sensorN is channel N-1): wrench = C s + b, and
///     optionally a tool transform that moves the wrench to another reference
///     point and frame (F' = R^T F, T' = R^T (T - d x F));
///   - force and torque units (converted to N and N*m on load: N, kN, lbf,
///     kgf; N*m, N*mm, lbf*in, lbf*ft, kgf*m), and the unit of the tool
///     translation (m, mm, in);
///   - how it was made (loads, residuals, condition number), kept as it is.
///
/// Order of operations: the library subtracts a channel's zero offset (the
/// tare, in counts) as samples are made; the calibration is applied to those
/// counts afterwards. After a tare the offset already stands for the zero
/// load, so the bias is left out: pass tared = true for a sample of a tared
/// channel (or sensor), false otherwise.
///
/// An object is a value: copy it freely. Its const calls (apply*, the getters)
/// may run on several threads at once; the others, which keep error(), serve
/// one thread at a time. Nothing is thrown and nothing is printed; failures
/// are results, with a message from error().
#pragma once

#include <string>
#include <vector>

#include "brovapackage.h"
#include "brovapackage6d.h"
#include "brv_global.h"

class BrovaCalibration_private;

/// A sensor's calibration, from counts to newtons and newton-metres: the
/// file's content, its order of operations and its threads are described
/// with brovacalibration.h.
///
/// A value: copy it freely. The const calls may run on several threads at
/// once; the others, which keep error(), serve one thread at a time.
class BRV_EXPORT BrovaCalibration {
public:
    /// An empty calibration: isValid() is false and every apply fails.
    BrovaCalibration();
    ~BrovaCalibration();  ///< Frees what it holds.
    BrovaCalibration(const BrovaCalibration& other);             ///< A copy of other's calibration.
    BrovaCalibration& operator=(const BrovaCalibration& other);  ///< Takes a copy of other's calibration.

    /// Reads and validates a file. On success true, and this object holds it.
    /// On failure false, this object is left as it was, and error() says what
    /// is wrong, naming the file and the field (for example
    /// "cal.json: channels[0].matrix: 3 rows of 4 numbers expected").
    /// Only a regular file (or a link to one) of at most 16 MiB is read: a
    /// FIFO, a device, a directory or a larger file is refused at once, without
    /// waiting for data (the file is opened without blocking and its type
    /// checked before anything is read).
    bool load(const std::string& path);
    /// The same from JSON text; name stands for the file in messages.
    bool loadJson(const std::string& text, const std::string& name);
    /// Writes the calibration as a file of the current format (units N and
    /// N*m, translation in m). False, with error() set, when it cannot be
    /// written or nothing valid is held.
    bool save(const std::string& path);
    /// The same text save writes; empty when nothing valid is held.
    std::string toJson() const;
    /// The last failure's message (empty after a success). The text is a copy
    /// owned by the caller.
    std::string error() const;
    /// The SHA-256 of the bytes the last successful load (or loadJson) read,
    /// as 64 lowercase hexadecimal digits: what a tool records of the file it
    /// applied. Empty for a calibration built or changed in code (the set
    /// calls). A copy owned by the caller.
    std::string sha256() const;

    /// True when it holds an identity, at least one channel or the six-axis
    /// part, a tool only with the six-axis part, and a six-axis part that fits
    /// the kind (what load checks as a whole).
    bool isValid() const;
    int kind() const;  ///< The kind code it is for; 0 when no identity is held
    /// The identification text (or port by-id name) it is for; empty for any
    /// device of its kind. A copy owned by the caller.
    std::string identification() const;
    std::string serial() const;  ///< The free-text serial number (a copy).
    std::string date() const;    ///< The free-text date (a copy).
    /// Whether the file is for a device of this kind and identification (an
    /// empty identification in the file, or given here, matches any). False,
    /// with error() saying why, when it is not.
    bool matches(int kind, const std::string& identification);

    /// \name What it calibrates
    ///@{
    bool hasChannel(int channel) const;  ///< True when it calibrates three-axis channel channel.
    bool hasSixAxis() const;             ///< True when it has a six-axis part.
    bool hasTool() const;                ///< True when it has a tool transform.
    ///@}

    /// \name Applying
    /// Applying. false (out untouched) when this object does not calibrate
    /// that channel (or a six-axis sensor). tared: the sample's channel (or
    /// sensor) is tared, so the bias is left out.
    ///@{

    /// One three-axis sample of channel c: force in N.
    bool applyForce(const BrovaPackage& sample, int channel, bool tared, double (&force)[3]) const;
    /// One six-axis sample: Fx, Fy, Fz in N, Tx, Ty, Tz in N*m (the tool
    /// transform applied when the file has one).
    bool applyWrench(const BrovaPackage6D& sample, bool tared, double (&wrench)[6]) const;
    /// One instant of a four-channel device read as one six-axis sensor, from
    /// its four channels' samples.
    bool applyWrench(const BrovaPackage& c0, const BrovaPackage& c1, const BrovaPackage& c2, const BrovaPackage& c3,
                     bool tared, double (&wrench)[6]) const;
    ///@}

    /// \name Building one
    /// Building one (brova calibrate), and reading it back. The input names
    /// are as above; rows is 3 (a channel) or 6 (six-axis); matrix holds rows
    /// x inputs.size() numbers, row by row, in N (and N*m) per count. False,
    /// with error() set, on a bad name, shape or value.
    ///@{

    /// The identity: kind code, identification text (empty: any device of
    /// the kind), free-text serial and date.
    bool setIdentity(int kind, const std::string& identification, const std::string& serial, const std::string& date);
    /// Channel channel's matrix (3 rows) and bias (3 numbers) over inputs.
    bool setChannel(int channel, const std::vector<std::string>& inputs, const std::vector<double>& matrix,
                    const std::vector<double>& bias);
    /// The six-axis part: matrix (6 rows) and bias (6 numbers) over inputs.
    bool setSixAxis(const std::vector<std::string>& inputs, const std::vector<double>& matrix,
                    const std::vector<double>& bias);
    /// Tool transform: translation in m, rotation as a 3 x 3 matrix row by row
    /// (columns: the tool's axes in the sensor's frame; must be a rotation).
    bool setTool(const double (&translation)[3], const double (&rotation)[9]);
    /// The tool transform held (translation in m, rotation row by row); false,
    /// arguments untouched, when there is none.
    bool tool(double (&translation)[3], double (&rotation)[9]) const;
    /// How it was made: a JSON object kept and written as it is (loads,
    /// readings, residuals, condition number ...). False when not an object;
    /// an empty text removes it.
    bool setProvenance(const std::string& json);
    /// The provenance as compact JSON text, empty when there is none.
    std::string provenance() const;
    std::vector<std::string> inputs(int channel) const;  ///< The input names of a channel's matrix; channel -1: six-axis
    std::vector<double> matrix(int channel) const;      ///< Its matrix, row by row (channel -1: six-axis)
    std::vector<double> bias(int channel) const;        ///< Its bias (channel -1: six-axis)
    ///@}

private:
    BrovaCalibration_private* d;
};
