// The ROS 2 messages this project publishes, without a DDS runtime: their
// type descriptions and RIHS01 type hashes, and their serialised form. Shared
// by brova publish and brova listen (which put the hashes in their
// endpoints' USER_DATA) and meant for anything else that writes the same
// messages, such as a recording (whose topic_type_hash and message bytes
// must be the ones on the bus). Needs Qt Core only (for SHA-256).
//
// Type hashes (REP 2016, as the project's notes on ROS 2 over DDS give the
// rule): "RIHS01_" and the lowercase hex SHA-256 of the JSON text
//   {"type_description": D, "referenced_type_descriptions": [D1, ...]}
// where D is {"type_name": "pkg/msg/Type", "fields": [F, ...]}, each field F
// {"name": N, "type": {"type_id": I, "capacity": C, "string_capacity": S,
// "nested_type_name": T}}, the referenced types are every type reached
// through the fields, once each, sorted by name, and the separators are
// ", " and ": ". Constants and default values are not part of it.
//
// Serialised form: what DDS carries as a sample's payload and a ROS 2
// recording stores as a message: the encapsulation header 00 01 00 00
// (plain CDR, little endian), then the message in XCDR1 (every value aligned
// to its size, 8-byte values to 8, counted from after the header; a string
// is its length with the terminating NUL as a 32-bit number, its bytes and
// the NUL; a sequence its length, then its elements). No padding is added
// after the last value. The tests check these bytes against Cyclone DDS's
// own serialisation of dds/ros2_msgs.idl, and the hashes against hashes
// ROS 2 publishes and against dds/ros2_msgs.idl.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brovaros2 {

// The field type ids of type_description_interfaces/msg/FieldType used here;
// a sequence without a bound adds kUnboundedSequence (a fixed array would
// add 48, a bounded sequence 96, with the size or bound in capacity).
enum FieldTypeId : int {
    kNested = 1,
    kUInt8 = 3,
    kInt32 = 6,
    kUInt32 = 7,
    kUInt64 = 9,
    kFloat64 = 11,
    kBool = 15,
    kByte = 16,
    kString = 17,
};
constexpr int kUnboundedSequence = 144;

struct Field {
    std::string name;        // as in the .msg file (frame_id)
    int typeId = 0;          // a FieldTypeId, plus kUnboundedSequence for T[]
    std::string nestedType;  // a nested type's full name (pkg/msg/Type), else empty
    uint64_t capacity = 0;
    uint64_t stringCapacity = 0;
};

struct TypeDescription {
    std::string name;  // pkg/msg/Type
    std::vector<Field> fields;
};

// The full names of the types published.
extern const char kTypeWrenchStamped[];    // geometry_msgs/msg/WrenchStamped
extern const char kTypeDiagnosticArray[];  // diagnostic_msgs/msg/DiagnosticArray
extern const char kTypeBool[];             // std_msgs/msg/Bool
// The project's own type of a recording's raw samples (see Counts below).
extern const char kTypeCounts[];           // brova_msgs/msg/Counts

// The descriptions of the types published and of every type they reference
// (builtin_interfaces/msg/Time, std_msgs/msg/Header, ...). A static table.
const std::vector<TypeDescription>& knownTypes();
// The project's own types, which only recordings carry (brova_msgs/msg/Counts
// and the types it references that are not among knownTypes()). A static
// table; typeHash and messageDefinition know them too.
const std::vector<TypeDescription>& ownTypes();

// The JSON text whose SHA-256 is the hash of `type`, from the descriptions
// in `types`; empty when `type`, or a type it references, is not among them.
std::string hashedDescription(const std::string& type, const std::vector<TypeDescription>& types);
// The RIHS01 hash of `type` from the descriptions in `types`
// ("RIHS01_" and 64 lowercase hex digits); empty as above.
std::string typeHash(const std::string& type, const std::vector<TypeDescription>& types);
// The hash of a known type or one of the project's own; empty for another.
std::string typeHash(const std::string& type);
// What ROS 2 (Iron and later) reads from an endpoint's USER_DATA:
// "typehash=<hash>;" for a known type, empty for another (no entry: the
// hash is unknown, which is not the same as a hash of zeros).
std::string typeHashUserData(const std::string& type);
// The ROS 2 message definition of a known type as a recording embeds it
// (schema encoding "ros2msg"): the type's fields, one per line
// ("std_msgs/Header header", "float64 x", "brova_msgs/ChannelCounts[] channels"),
// then for every type it references, once each, a line of 80 '=', a line
// "MSG: pkg/Type" and that type's fields. Made from the same descriptions as
// the hash, so the two cannot disagree. Empty for an unknown type.
std::string messageDefinition(const std::string& type);
// ROS names.
// A fully qualified ROS name (a namespace or a topic): starts with '/', then
// tokens of letters, digits and underscores separated by single slashes, no
// token starting with a digit, no slash at the end (except "/" itself).
// False with the reason.
bool validAbsoluteName(const std::string& name, std::string& why);
// A relative ROS name (a sensor's --name): the same tokens, without the
// leading slash.
bool validRelativeName(const std::string& name, std::string& why);
// A sensor's default name from its port: the device node without /dev/, any
// other character than a letter, digit or underscore made an underscore
// (/dev/ttyUSB0 is ttyUSB0, /dev/pts/3 is pts_3).
std::string nameFromPort(const std::string& path);
// The ROS topic <ns>/<relative> (ns "/" gives /<relative>).
std::string rosTopic(const std::string& ns, const std::string& relative);

// The DDS type name of a ROS type: geometry_msgs/msg/WrenchStamped is
// geometry_msgs::msg::dds_::WrenchStamped_.
std::string ddsTypeName(const std::string& type);

// builtin_interfaces/msg/Time.
struct Time {
    int32_t sec = 0;
    uint32_t nanosec = 0;
};
// Nanoseconds since the epoch as a Time (nanosec always below 10^9, also
// before 1970).
Time timeOf(int64_t ns);
int64_t nanosecondsOf(const Time& t);

struct WrenchStamped {
    Time stamp;
    std::string frameId;
    double force[3] = {};   // N
    double torque[3] = {};  // N*m
};

struct KeyValue {
    std::string key, value;
};

struct DiagnosticStatus {
    uint8_t level = 0;  // 0 OK, 1 WARN, 2 ERROR, 3 STALE
    std::string name, message, hardwareId;
    std::vector<KeyValue> values;
};

struct DiagnosticArray {
    Time stamp;
    std::string frameId;
    std::vector<DiagnosticStatus> status;
};

// brova_msgs/msg/Counts: the sample records of one read of one sensor as the
// library hands them out, so that a recording loses nothing the wire gave:
//   std_msgs/Header header            stamp: the first sample's instant; frame_id: the sensor's
//   uint64 first_sample               the number of the first sample on its port (from 0)
//   brova_msgs/CountsSample[] samples
// brova_msgs/CountsSample:
//   builtin_interfaces/Time stamp     the sample's instant
//   uint8 state                       the device's state field (5 normal)
//   uint8 config                      the configuration byte reported with it
//   uint32 flags                      the sample instant's status flags (brovaflags.h): a field at its
//                                     rail, with the over-range bits where a calibration applied
//   int32 fx, fy, fz, tx, ty, tz      six-axis: the force and torque counts (as the device sent them,
//                                     or computed on the host for four channels read as one); else 0
//   brova_msgs/ChannelCounts[] channels  the channels (three-axis: 1 or 4; six-axis: its four units)
// brova_msgs/ChannelCounts:
//   int32 s1 ... s8, x, y, z, aux     the record's fields of that channel or unit
struct ChannelCounts {
    int32_t s[8] = {};
    int32_t x = 0, y = 0, z = 0, aux = 0;
};

struct CountsSample {
    Time stamp;
    uint8_t state = 0;
    uint8_t config = 0;
    uint32_t flags = 0;
    int32_t wrench[6] = {};  // fx, fy, fz, tx, ty, tz
    std::vector<ChannelCounts> channels;
};

struct Counts {
    Time stamp;
    std::string frameId;
    uint64_t firstSample = 0;
    std::vector<CountsSample> samples;
};

// The serialised messages (see above). The caller owns the bytes returned.
std::vector<uint8_t> serialize(const WrenchStamped& m);
std::vector<uint8_t> serialize(const DiagnosticArray& m);
std::vector<uint8_t> serialize(bool data);  // std_msgs/msg/Bool
std::vector<uint8_t> serialize(const Counts& m);

} // namespace brovaros2
