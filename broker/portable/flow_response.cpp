#include "broker/portable/flow_response.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "protocol/json_cursor.h"

namespace vantorel {
namespace {

using namespace std::string_view_literals;

// How one element of the "connections" array ended.
enum class ElementOutcome {
    accepted,
    missing_id,
    rejected,   // consumed whole; the array goes on
    malformed,  // the cursor stopped inside the element; the array ends here
};

struct ConnectionFields {
    std::string id;
    std::string network;
    std::string destination_ip;
    std::string destination_port;
    std::string host;
    std::string process_path;
    std::string chain;
    std::uint64_t upload = 0;
    std::uint64_t download = 0;
};

bool ReadMetadata(JsonCursor& cursor, ConnectionFields& fields) {
    if (!cursor.MatchChar('{')) return false;
    if (cursor.MatchChar('}')) return true;
    std::string key;
    while (true) {
        if (!cursor.ReadString(key) || !cursor.MatchChar(':')) return false;
        bool ok = true;
        if (key == "network"sv) {
            ok = cursor.ReadString(fields.network);
        } else if (key == "destinationIP"sv) {
            ok = cursor.ReadString(fields.destination_ip);
        } else if (key == "destinationPort"sv) {
            ok = cursor.ReadString(fields.destination_port);
        } else if (key == "host"sv) {
            ok = cursor.ReadString(fields.host);
        } else if (key == "processPath"sv) {
            ok = cursor.ReadString(fields.process_path);
        } else {
            ok = cursor.SkipValue();
        }
        if (!ok) return false;
        if (cursor.MatchChar(',')) continue;
        return cursor.MatchChar('}');
    }
}

bool ReadChains(JsonCursor& cursor, std::string& last) {
    if (!cursor.MatchChar('[')) return false;
    last.clear();
    if (cursor.MatchChar(']')) return true;
    while (true) {
        if (!cursor.ReadString(last)) return false;
        if (cursor.MatchChar(',')) continue;
        return cursor.MatchChar(']');
    }
}

bool ReadMember(JsonCursor& cursor, const std::string& key, ConnectionFields& fields) {
    if (key == "id"sv) return cursor.ReadString(fields.id);
    if (key == "metadata"sv) return ReadMetadata(cursor, fields);
    if (key == "chains"sv) return ReadChains(cursor, fields.chain);
    if (key == "upload"sv) return cursor.ReadUnsigned(fields.upload);
    if (key == "download"sv) return cursor.ReadUnsigned(fields.download);
    return cursor.SkipValue();
}

std::string ProcessName(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The fields are spent: their texts move into the connection.
FlowConnection BuildConnection(ConnectionFields& fields) {
    FlowConnection connection;
    connection.id = std::move(fields.id);
    connection.network = std::move(fields.network);
    connection.chain = std::move(fields.chain);
    connection.destination = std::move(fields.host.empty() ? fields.destination_ip : fields.host);
    if (!fields.destination_port.empty()) {
        connection.destination += ':';
        connection.destination += fields.destination_port;
    }
    connection.process = ProcessName(fields.process_path);
    connection.upload = fields.upload;
    connection.download = fields.download;
    return connection;
}

ElementOutcome ReadConnection(JsonCursor& cursor, FlowConnection& out) {
    if (!cursor.MatchChar('{')) return ElementOutcome::malformed;
    if (cursor.MatchChar('}')) return ElementOutcome::rejected;
    ConnectionFields fields;
    std::string key;
    while (true) {
        if (!cursor.ReadString(key) || !cursor.MatchChar(':')) return ElementOutcome::malformed;
        if (!ReadMember(cursor, key, fields)) return ElementOutcome::malformed;
        if (cursor.MatchChar(',')) continue;
        if (!cursor.MatchChar('}')) return ElementOutcome::malformed;
        break;
    }
    if (fields.chain.empty()) return ElementOutcome::rejected;
    if (fields.id.empty()) return ElementOutcome::missing_id;
    out = BuildConnection(fields);
    return ElementOutcome::accepted;
}

bool ReadConnections(JsonCursor& cursor, FlowSample& sample) {
    if (!cursor.MatchChar('[')) return false;
    if (cursor.MatchChar(']')) return true;
    while (true) {
        FlowConnection connection;
        const ElementOutcome outcome = ReadConnection(cursor, connection);
        if (outcome == ElementOutcome::accepted) sample.connections.push_back(std::move(connection));
        if (outcome == ElementOutcome::missing_id) ++sample.missing_ids;
        // After a malformed element the cursor's place is unknown, so nothing after it is trusted.
        if (outcome == ElementOutcome::malformed) return true;
        if (cursor.MatchChar(',')) continue;
        cursor.MatchChar(']');
        return true;
    }
}

}  // namespace

bool ParseConnectionsResponse(const std::string& body, FlowSample& out) {
    JsonCursor cursor(body);
    if (!cursor.MatchChar('{')) return false;
    while (true) {
        std::string key;
        if (!cursor.ReadString(key) || !cursor.MatchChar(':')) return false;
        if (key == "connections"sv) {
            FlowSample sample;
            if (!ReadConnections(cursor, sample)) return false;
            out = std::move(sample);
            return true;
        }
        if (!cursor.SkipValue() || !cursor.MatchChar(',')) return false;
    }
}

std::string sanitize_flow_text(const std::string& text) {
    std::string out;
    out.reserve(text.size() < 96 ? text.size() : 96);
    for (char ch : text) {
        if (ch == '\r' || ch == '\n' || ch == '\t') continue;
        out.push_back(ch == ' ' ? '_' : ch);
        if (out.size() == 96) break;
    }
    return out;
}

}  // namespace vantorel
