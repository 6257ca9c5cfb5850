// A peer on the bus for the tests of brova publish and brova listen, in the
// domain of ROS_DOMAIN_ID (on the interface of CYCLONEDDS_URI):
//
//   ddspeer publish ROS_TOPIC [SUBSCRIBERS]   publishes the WrenchStamped messages read from
//       standard input, one a line: STAMP_NS <tab> FRAME_ID <tab> six values
//       (strtod's forms: nan, inf, -inf ...); the frame id takes \n, \t,
//       \xHH and \\ escapes. Reliable, keep all; it first waits (up to 20 s)
//       for SUBSCRIBERS subscribers (default 1) and at the end (up to 20 s)
//       for every message to be acknowledged. Exit 0, or 1 when that did not
//       happen.
//   ddspeer endpoints SECONDS   prints, as JSON lines, the writers and
//       readers seen on the bus over SECONDS: kind, topic, type, user_data.
//   ddspeer bool ROS_TOPIC SECONDS   subscribes to a std_msgs/msg/Bool topic
//       as a latched topic's subscriber (reliable, transient local, keep last
//       1) and prints each value received, "true" or "false", one a line,
//       for SECONDS.
//   ddspeer hashes              prints "TYPE HASH" for every type whose hash
//       is known (ros2types.h).
#include <dds/dds.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <thread>

#include "ros2_msgs.h"
#include "ros2dds.h"
#include "ros2types.h"
#include "samplerows.h"

namespace {

dds_entity_t join()
{
    std::string why;
    const int domain = brovadds::domainId(false, "", why);
    const dds_entity_t p = domain < 0 ? -1 : brovadds::joinDomain(domain, why);
    if (p < 0) {
        std::fprintf(stderr, "ddspeer: %s\n", why.c_str());
        std::exit(1);
    }
    return p;
}

std::string unescaped(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            const char c = s[++i];
            if (c == 'x' && i + 2 < s.size()) {
                out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
            }
        } else {
            out += s[i];
        }
    }
    return out;
}

int publish(const std::string& rosTopic, uint32_t subscribers)
{
    const dds_entity_t p = join();
    const std::string name = brovadds::ddsTopic(rosTopic);
    const dds_entity_t topic =
        dds_create_topic(p, &geometry_msgs_msg_dds__WrenchStamped__desc, name.c_str(), nullptr, nullptr);
    dds_qos_t* qos = brovadds::rosQos(true, 0);
    const dds_entity_t writer = topic < 0 ? topic : dds_create_writer(p, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (writer < 0) {
        std::fprintf(stderr, "ddspeer: cannot write %s: %s\n", name.c_str(), dds_strretcode(writer));
        return 1;
    }
    int result = 0;
    dds_publication_matched_status_t m{};
    for (int i = 0; i < 2000 && m.current_count < subscribers; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        dds_get_publication_matched_status(writer, &m);
    }
    if (m.current_count < subscribers) {
        std::fprintf(stderr, "ddspeer: too few subscribers to %s\n", rosTopic.c_str());
        result = 1;
    }
    std::string line;
    while (result == 0 && std::getline(std::cin, line)) {
        const size_t a = line.find('\t'), b = line.find('\t', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            continue;
        const std::string frame = unescaped(line.substr(a + 1, b - a - 1));
        geometry_msgs_msg_dds__WrenchStamped_ msg{};
        const brovaros2::Time t = brovaros2::timeOf(std::strtoll(line.c_str(), nullptr, 10));
        msg.header_.stamp_.sec_ = t.sec;
        msg.header_.stamp_.nanosec_ = t.nanosec;
        msg.header_.frame_id_ = const_cast<char*>(frame.c_str());
        const char* at = line.c_str() + b + 1;
        double v[6] = {};
        for (double& x : v) {
            char* end = nullptr;
            x = std::strtod(at, &end);
            at = end;
        }
        msg.wrench_.force_ = {v[0], v[1], v[2]};
        msg.wrench_.torque_ = {v[3], v[4], v[5]};
        if (dds_write(writer, &msg) != DDS_RETCODE_OK)
            result = 1;
    }
    if (result == 0 && dds_wait_for_acks(writer, DDS_SECS(20)) != DDS_RETCODE_OK)
        result = 1;
    dds_delete(p);
    return result;
}

int endpoints(double seconds)
{
    const dds_entity_t p = join();
    const dds_entity_t readers[2] = {dds_create_reader(p, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr),
                                     dds_create_reader(p, DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION, nullptr, nullptr)};
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        for (int k = 0; k < 2; ++k) {
            void* samples[16] = {};
            dds_sample_info_t infos[16];
            const int n = dds_take(readers[k], samples, infos, 16, 16);
            for (int i = 0; i < n; ++i) {
                if (!infos[i].valid_data)
                    continue;
                const auto* e = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
                void* data = nullptr;
                size_t size = 0;
                std::string user;
                if (e->qos && dds_qget_userdata(e->qos, &data, &size) && data) {
                    user.assign(static_cast<const char*>(data), size);
                    dds_free(data);
                }
                std::printf("{\"kind\": \"%s\", \"topic\": %s, \"type\": %s, \"user_data\": %s}\n",
                            k ? "reader" : "writer", brovatools::jsonString(e->topic_name).c_str(),
                            brovatools::jsonString(e->type_name).c_str(), brovatools::jsonString(user).c_str());
            }
            if (n > 0)
                dds_return_loan(readers[k], samples, n);
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    dds_delete(p);
    return 0;
}

int readBool(const std::string& rosTopic, double seconds)
{
    const dds_entity_t p = join();
    const std::string name = brovadds::ddsTopic(rosTopic);
    const dds_entity_t topic = dds_create_topic(p, &std_msgs_msg_dds__Bool__desc, name.c_str(), nullptr, nullptr);
    dds_qos_t* qos = brovadds::rosQos(true, 1);
    dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
    const dds_entity_t reader = topic < 0 ? topic : dds_create_reader(p, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (reader < 0) {
        std::fprintf(stderr, "ddspeer: cannot read %s: %s\n", name.c_str(), dds_strretcode(reader));
        return 1;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        void* samples[16] = {};
        dds_sample_info_t infos[16];
        const int n = dds_take(reader, samples, infos, 16, 16);
        for (int i = 0; i < n; ++i)
            if (infos[i].valid_data)
                std::printf("%s\n", static_cast<const std_msgs_msg_dds__Bool_*>(samples[i])->data_ ? "true" : "false");
        if (n > 0)
            dds_return_loan(reader, samples, n);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    dds_delete(p);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "publish" && (argc == 3 || argc == 4))
        return publish(argv[2], argc == 4 ? static_cast<uint32_t>(std::atoi(argv[3])) : 1);
    if (mode == "bool" && argc == 4)
        return readBool(argv[2], std::atof(argv[3]));
    if (mode == "endpoints" && argc == 3)
        return endpoints(std::atof(argv[2]));
    if (mode == "hashes" && argc == 2) {
        for (const brovaros2::TypeDescription& t : brovaros2::knownTypes())
            std::printf("%s %s\n", t.name.c_str(), brovaros2::typeHash(t.name).c_str());
        return 0;
    }
    std::fprintf(stderr, "usage: ddspeer publish ROS_TOPIC [SUBSCRIBERS] | endpoints SECONDS | hashes\n");
    return 2;
}
