// The ROS 2 type hashes and serialised messages of dds/ros2types: the hash
// rule against hashes ROS 2 publishes, and the bytes against Cyclone DDS's
// own serialisation of dds/ros2_msgs.idl (what brova publish puts on the
// wire).
#include <gtest/gtest.h>

#include <dds/ddsi/ddsi_cdrstream.h>
#include <dds/ddsi/q_protocol.h>

#include <cmath>
#include <limits>

#include "ros2_msgs.h"
#include "ros2types.h"

using namespace brovaros2;

namespace {

// Cyclone DDS's XCDR1 little-endian bytes of a sample, with the
// encapsulation header in front.
std::vector<uint8_t> cyclone(const void* sample, const dds_topic_descriptor_t& desc)
{
    dds_ostreamLE_t os;
    dds_ostreamLE_init(&os, 0, CDR_ENC_VERSION_1);
    dds_stream_writeLE(&os, static_cast<const char*>(sample), desc.m_ops);
    std::vector<uint8_t> bytes(4 + os.x.m_index);
    bytes[1] = 0x01;  // 00 01 00 00: plain CDR, little endian
    std::copy(os.x.m_buffer, os.x.m_buffer + os.x.m_index, bytes.begin() + 4);
    dds_ostreamLE_fini(&os);
    return bytes;
}

} // namespace

TEST(Ros2Types, HashesAsRos2PublishesThem)
{
    const auto plain = [](const char* n, int id) { return Field{n, id, {}, 0, 0}; };
    const auto nested = [](const char* n, const char* t) { return Field{n, kNested, t, 0, 0}; };
    const std::vector<TypeDescription> types = {
        {"builtin_interfaces/msg/Time", {plain("sec", kInt32), plain("nanosec", kUInt32)}},
        {"std_msgs/msg/Header", {nested("stamp", "builtin_interfaces/msg/Time"), plain("frame_id", kString)}},
        {"std_msgs/msg/String", {plain("data", kString)}},
        {"geometry_msgs/msg/Vector3", {plain("x", kFloat64), plain("y", kFloat64), plain("z", kFloat64)}},
        {"geometry_msgs/msg/Twist", {nested("linear", "geometry_msgs/msg/Vector3"), nested("angular", "geometry_msgs/msg/Vector3")}},
        {"geometry_msgs/msg/TwistStamped", {nested("header", "std_msgs/msg/Header"), nested("twist", "geometry_msgs/msg/Twist")}},
        {"geometry_msgs/msg/Point", {plain("x", kFloat64), plain("y", kFloat64), plain("z", kFloat64)}},
        {"geometry_msgs/msg/Quaternion", {plain("x", kFloat64), plain("y", kFloat64), plain("z", kFloat64), plain("w", kFloat64)}},
        {"geometry_msgs/msg/Pose", {nested("position", "geometry_msgs/msg/Point"), nested("orientation", "geometry_msgs/msg/Quaternion")}},
        {"geometry_msgs/msg/PoseStamped", {nested("header", "std_msgs/msg/Header"), nested("pose", "geometry_msgs/msg/Pose")}},
    };
    const std::pair<const char*, const char*> published[] = {
        {"std_msgs/msg/String", "RIHS01_df668c740482bbd48fb39d76a70dfd4bd59db1288021743503259e948f6b1a18"},
        {"std_msgs/msg/Header", "RIHS01_f49fb3ae2cf070f793645ff749683ac6b06203e41c891e17701b1cb597ce6a01"},
        {"geometry_msgs/msg/TwistStamped", "RIHS01_5f0fcd4f81d5d06ad9b4c4c63e3ea51b82d6ae4d0558f1d475229b1121db6f64"},
        {"geometry_msgs/msg/PoseStamped", "RIHS01_10f3786d7d40fd2b54367835614bff85d4ad3b5dab62bf8bca0cc232d73b4cd8"},
    };
    for (const auto& p : published)
        EXPECT_EQ(typeHash(p.first, types), p.second) << p.first;
    // A type that references one not described has no hash.
    EXPECT_EQ(typeHash("geometry_msgs/msg/TwistStamped", {types[5]}), "");
    // The published types: a hash each, in USER_DATA's form.
    for (const char* t : {kTypeWrenchStamped, kTypeDiagnosticArray, kTypeBool})
        EXPECT_EQ(typeHashUserData(t), "typehash=" + typeHash(t) + ";") << t;
    EXPECT_EQ(typeHashUserData("std_msgs/msg/String"), "");
    EXPECT_EQ(ddsTypeName(kTypeWrenchStamped), "geometry_msgs::msg::dds_::WrenchStamped_");
}

TEST(Ros2Types, BytesAreCycloneDdsBytes)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    // Frame ids of every length modulo 8 (the doubles' padding), and a stamp
    // before 1970.
    for (const std::string frame : {"", "a", "ab", "abc", "abcd", "abcde", "abcdef", "abcdefg", "evil\nfake,row"}) {
        WrenchStamped ours;
        ours.stamp = timeOf(frame.empty() ? -1500000000 : 1767225600123456789);
        ours.frameId = frame;
        const double v[6] = {1.5, -2.25, 1e300, nan, inf, -0.0};
        std::copy(v, v + 3, ours.force);
        std::copy(v + 3, v + 6, ours.torque);
        geometry_msgs_msg_dds__WrenchStamped_ m{};
        m.header_.stamp_ = {ours.stamp.sec, ours.stamp.nanosec};
        m.header_.frame_id_ = const_cast<char*>(frame.c_str());
        m.wrench_.force_ = {v[0], v[1], v[2]};
        m.wrench_.torque_ = {v[3], v[4], v[5]};
        EXPECT_EQ(serialize(ours), cyclone(&m, geometry_msgs_msg_dds__WrenchStamped__desc)) << frame;
    }
    EXPECT_EQ(timeOf(-1500000000).sec, -2);
    EXPECT_EQ(timeOf(-1500000000).nanosec, 500000000u);

    DiagnosticArray ours;
    ours.stamp = timeOf(1767225600000000001);
    ours.frameId = "f";
    ours.status = {{2, "brova publish: s", "lost", "pts_1", {{"gaps", "1"}, {"state", "none yet"}}},
                   {0, "second", "", "hw", {}}};
    std::vector<std::vector<diagnostic_msgs_msg_dds__KeyValue_>> kvs;
    std::vector<diagnostic_msgs_msg_dds__DiagnosticStatus_> statuses;
    for (DiagnosticStatus& s : ours.status) {
        kvs.emplace_back();
        for (KeyValue& kv : s.values)
            kvs.back().push_back({&kv.key[0], &kv.value[0]});
    }
    for (size_t i = 0; i < ours.status.size(); ++i) {
        DiagnosticStatus& s = ours.status[i];
        diagnostic_msgs_msg_dds__DiagnosticStatus_ d{};
        d.level_ = s.level;
        d.name_ = &s.name[0];
        d.message_ = const_cast<char*>(s.message.c_str());
        d.hardware_id_ = &s.hardwareId[0];
        d.values_._length = d.values_._maximum = static_cast<uint32_t>(kvs[i].size());
        d.values_._buffer = kvs[i].data();
        statuses.push_back(d);
    }
    diagnostic_msgs_msg_dds__DiagnosticArray_ a{};
    a.header_.stamp_ = {ours.stamp.sec, ours.stamp.nanosec};
    a.header_.frame_id_ = &ours.frameId[0];
    a.status_._length = a.status_._maximum = static_cast<uint32_t>(statuses.size());
    a.status_._buffer = statuses.data();
    EXPECT_EQ(serialize(ours), cyclone(&a, diagnostic_msgs_msg_dds__DiagnosticArray__desc));

    for (const bool b : {false, true}) {
        std_msgs_msg_dds__Bool_ m{b};
        EXPECT_EQ(serialize(b), cyclone(&m, std_msgs_msg_dds__Bool__desc));
    }
}
