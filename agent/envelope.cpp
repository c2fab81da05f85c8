#include "agent/envelope.h"

#include <cstdint>
#include <memory>
#include <sstream>

#include <json/writer.h>

Json::Int ClockReading(Common::Env* env)
{
    return static_cast<Json::Int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(env->Now())));
}

std::string WriteCompact(const Json::Value& value)
{
    // jsoncpp keeps object members ordered by key bytes; with these settings the
    // writer leaves UTF-8 and "/" unescaped and adds no white space.
    static const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        builder["commentStyle"] = "None";
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream out;
    writer->write(value, &out);
    out << '\n';
    return out.str();
}

std::string BuildEnvelope(const std::string& interfaceName, const Json::Value& para, Common::Env* env)
{
    Json::Value root;
    root["version"] = "v1.0.0";
    root["caller"] = "quillmar_agent";
    root["callee"] = "quillmar_server";
    root["eventId"] = ClockReading(env);
    root["timestamp"] = ClockReading(env);
    root["interface"]["interfaceName"] = interfaceName;
    root["interface"]["para"] = para; // deep copy
    return WriteCompact(root);
}
