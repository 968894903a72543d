#include "eval/node_json.hpp"

#include <vector>

namespace morvax {
namespace {

void append_escape(std::string& out, unsigned char c) {
    static constexpr char hex[] = "0123456789abcdef";
    switch (c) {
        case '\b': out += "\\b"; return;
        case '\t': out += "\\t"; return;
        case '\n': out += "\\n"; return;
        case '\f': out += "\\f"; return;
        case '\r': out += "\\r"; return;
        default: break;
    }
    out += "\\u00";
    out += hex[c >> 4];
    out += hex[c & 0xF];
}

template <class T, class Write>
void append_anydim(std::string& out, const AnyDim<T>& value, Write&& write) {
    if (value.is_single()) {
        write(value.single_value());
        return;
    }
    out += '[';
    for (std::size_t i = 0; i < value.list().size(); ++i) {
        if (i > 0) out += ',';
        write(value.list()[i]);
    }
    out += ']';
}

// Everything of a node up to its children array, which stays open.
void append_fields(std::string& out, const Node& node) {
    auto text = [&](const std::string& s) { append_json_string(out, s); };
    auto result = [&](const EvalResult& r) {
        out += '"';
        r.append_to(out);  // result texts need no escaping
        out += '"';
    };
    out += "{\"id\":";
    text(node.id);
    out += ",\"name\":";
    text(node.name);
    out += ",\"formula\":";
    append_anydim(out, node.formula, text);
    out += ",\"value\":";
    append_anydim(out, node.value, result);
    out += ",\"is_hidden\":";
    out += node.is_hidden ? "true" : "false";
    out += ",\"cells\":";
    append_anydim(out, node.cells, text);
    out += ",\"children\":[";
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    std::size_t plain = 0;  // start of the run of bytes copied as they are
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, plain, i - plain);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            append_escape(out, c);
        }
        plain = i + 1;
    }
    out.append(text, plain, text.size() - plain);
    out += '"';
}

std::string node_to_json(const Node& node) {
    std::string out;
    // Each entry: a node whose children array is open, and its next child.
    std::vector<std::pair<const Node*, std::size_t>> open;
    append_fields(out, node);
    open.emplace_back(&node, 0);
    while (!open.empty()) {
        auto& [at, next] = open.back();
        if (next == at->children.size()) {
            out += "]}";
            open.pop_back();
            continue;
        }
        if (next > 0) out += ',';
        const Node& child = at->children[next++];
        append_fields(out, child);
        open.emplace_back(&child, 0);
    }
    return out;
}

}  // namespace morvax
