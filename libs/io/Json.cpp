#include "Json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace VerdantaIO {
namespace json {

Value Value::numbers(const std::vector<double> &values)
{
    Value v = array();
    for (double d : values)
        v.append(d);
    return v;
}

Value &Value::append(Value v)
{
    items_.push_back(std::move(v));
    return items_.back();
}

const Value &Value::operator[](const std::string &key) const
{
    static const Value none;
    for (const auto &m : members_)
        if (m.first == key)
            return m.second;
    return none;
}

bool Value::has(const std::string &key) const
{
    for (const auto &m : members_)
        if (m.first == key)
            return true;
    return false;
}

Value &Value::set(const std::string &key, Value v)
{
    for (auto &m : members_)
        if (m.first == key) {
            m.second = std::move(v);
            return m.second;
        }
    members_.emplace_back(key, std::move(v));
    return members_.back().second;
}

namespace {

class Parser {
public:
    explicit Parser(const std::string &t) : text(t) {}

    bool document(Value &out, std::string &error)
    {
        space();
        if (!value(out, 0))
            return report(error);
        space();
        if (pos != text.size()) {
            expected = "the end of the document";
            return report(error);
        }
        return true;
    }

private:
    const std::string &text;
    size_t pos = 0;
    std::string expected;

    bool report(std::string &error) const
    {
        int line = 1;
        for (size_t i = 0; i < pos && i < text.size(); ++i)
            line += text[i] == '\n';
        error = "line " + std::to_string(line) + ": expected " + expected;
        return false;
    }
    void space()
    {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
            ++pos;
    }
    bool literal(const char *word)
    {
        const std::string w(word);
        if (text.compare(pos, w.size(), w) != 0)
            return false;
        pos += w.size();
        return true;
    }
    bool value(Value &out, int depth)
    {
        expected = "a value";
        if (depth > 200 || pos >= text.size())
            return false;
        const char c = text[pos];
        if (c == '{')
            return object(out, depth);
        if (c == '[')
            return array(out, depth);
        if (c == '"') {
            std::string s;
            if (!string(s))
                return false;
            out = Value(std::move(s));
            return true;
        }
        if (literal("true")) {
            out = Value(true);
            return true;
        }
        if (literal("false")) {
            out = Value(false);
            return true;
        }
        if (literal("null")) {
            out = Value();
            return true;
        }
        return number(out);
    }
    bool number(Value &out)
    {
        const size_t start = pos;
        if (pos < text.size() && text[pos] == '-')
            ++pos;
        while (pos < text.size() && (std::isdigit(static_cast<unsigned char>(text[pos])) || text[pos] == '.' ||
                                     text[pos] == 'e' || text[pos] == 'E' || text[pos] == '+' || text[pos] == '-'))
            ++pos;
        double d = 0;
        const auto r = std::from_chars(text.data() + start, text.data() + pos, d);
        if (pos == start || r.ec != std::errc() || r.ptr != text.data() + pos) {
            pos = start;
            expected = "a value";
            return false;
        }
        out = Value(d);
        return true;
    }
    static void utf8(std::string &s, unsigned cp)
    {
        if (cp < 0x80) {
            s += char(cp);
        } else if (cp < 0x800) {
            s += char(0xC0 | (cp >> 6));
            s += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += char(0xE0 | (cp >> 12));
            s += char(0x80 | ((cp >> 6) & 0x3F));
            s += char(0x80 | (cp & 0x3F));
        } else {
            s += char(0xF0 | (cp >> 18));
            s += char(0x80 | ((cp >> 12) & 0x3F));
            s += char(0x80 | ((cp >> 6) & 0x3F));
            s += char(0x80 | (cp & 0x3F));
        }
    }
    bool hex4(unsigned &cp)
    {
        if (pos + 4 > text.size())
            return false;
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = text[pos++];
            cp <<= 4;
            if (h >= '0' && h <= '9') cp |= unsigned(h - '0');
            else if (h >= 'a' && h <= 'f') cp |= unsigned(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') cp |= unsigned(h - 'A' + 10);
            else return false;
        }
        return true;
    }
    bool string(std::string &s)
    {
        expected = "a closing quote";
        ++pos;  // the opening quote
        while (pos < text.size()) {
            const char c = text[pos++];
            if (c == '"')
                return true;
            if (c != '\\') {
                s += c;
                continue;
            }
            if (pos >= text.size())
                return false;
            const char e = text[pos++];
            switch (e) {
            case '"': s += '"'; break;
            case '\\': s += '\\'; break;
            case '/': s += '/'; break;
            case 'b': s += '\b'; break;
            case 'f': s += '\f'; break;
            case 'n': s += '\n'; break;
            case 'r': s += '\r'; break;
            case 't': s += '\t'; break;
            case 'u': {
                unsigned cp = 0;
                if (!hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp < 0xDC00 && text.compare(pos, 2, "\\u") == 0) {
                    pos += 2;
                    unsigned low = 0;
                    if (!hex4(low))
                        return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                utf8(s, cp);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool array(Value &out, int depth)
    {
        out = Value::array();
        ++pos;
        space();
        if (pos < text.size() && text[pos] == ']') {
            ++pos;
            return true;
        }
        for (;;) {
            Value item;
            space();
            if (!value(item, depth + 1))
                return false;
            out.append(std::move(item));
            space();
            if (pos < text.size() && text[pos] == ',') {
                ++pos;
                continue;
            }
            if (pos < text.size() && text[pos] == ']') {
                ++pos;
                return true;
            }
            expected = "',' or ']'";
            return false;
        }
    }
    bool object(Value &out, int depth)
    {
        out = Value::object();
        ++pos;
        space();
        if (pos < text.size() && text[pos] == '}') {
            ++pos;
            return true;
        }
        for (;;) {
            space();
            std::string key;
            expected = "a member name";
            if (pos >= text.size() || text[pos] != '"' || !string(key))
                return false;
            space();
            expected = "':'";
            if (pos >= text.size() || text[pos] != ':')
                return false;
            ++pos;
            space();
            Value v;
            if (!value(v, depth + 1))
                return false;
            out.set(key, std::move(v));
            space();
            if (pos < text.size() && text[pos] == ',') {
                ++pos;
                continue;
            }
            if (pos < text.size() && text[pos] == '}') {
                ++pos;
                return true;
            }
            expected = "',' or '}'";
            return false;
        }
    }
};

void quote(std::string &out, const std::string &s)
{
    out += '"';
    for (const char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(static_cast<unsigned char>(c)));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void number(std::string &out, double d)
{
    if (!std::isfinite(d)) {
        out += "null";  // JSON has no infinities
        return;
    }
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, d);
    out.append(buf, r.ptr);
}

void emit(std::string &out, const Value &v, int indent, int level)
{
    auto newline = [&](int l) {
        if (indent > 0) {
            out += '\n';
            out.append(size_t(indent * l), ' ');
        }
    };
    switch (v.type()) {
    case Value::Null: out += "null"; break;
    case Value::Bool: out += v.toBool() ? "true" : "false"; break;
    case Value::Number: number(out, v.toNumber()); break;
    case Value::String: quote(out, v.toString()); break;
    case Value::Array: {
        // Arrays of numbers (coordinates, bounds) stay on one line.
        bool flat = true;
        for (const Value &i : v.items())
            flat = flat && (i.isNumber() || (i.isArray() && i.size() <= 3));
        out += '[';
        for (size_t i = 0; i < v.size(); ++i) {
            if (i)
                out += flat || indent == 0 ? ", " : ",";
            if (!flat)
                newline(level + 1);
            emit(out, v.at(i), flat ? 0 : indent, level + 1);
        }
        if (!flat && v.size())
            newline(level);
        out += ']';
        break;
    }
    case Value::Object: {
        out += '{';
        bool first = true;
        for (const auto &m : v.members()) {
            if (!first)
                out += ',';
            first = false;
            newline(level + 1);
            quote(out, m.first);
            out += indent > 0 ? ": " : ":";
            emit(out, m.second, indent, level + 1);
        }
        if (!v.members().empty())
            newline(level);
        out += '}';
        break;
    }
    }
}

}  // namespace

bool parse(const std::string &text, Value &out, std::string &error)
{
    Parser p(text);
    return p.document(out, error);
}

std::string write(const Value &value, int indent)
{
    std::string out;
    emit(out, value, indent, 0);
    out += '\n';
    return out;
}

}  // namespace json
}  // namespace VerdantaIO
