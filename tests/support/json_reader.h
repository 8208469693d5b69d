// A small JSON reader, enough for the output of the tools' --json; malformed text throws.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::test {

struct Json {
    enum class Kind { Null, Boolean, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& key) const {
        const auto found = members.find(key);
        if (kind != Kind::Object || found == members.end()) throw std::runtime_error("no member " + key);
        return found->second;
    }
    bool Has(const std::string& key) const { return members.count(key) != 0; }
};

class JsonReader {
public:
    static Json Read(const std::string& text) {
        JsonReader reader(text);
        Json value = reader.Value();
        reader.Space();
        if (reader.at_ != text.size()) throw std::runtime_error("text after the value");
        return value;
    }

private:
    explicit JsonReader(const std::string& text) : text_(text) {}

    void Space() {
        while (at_ < text_.size() && std::string(" \t\r\n").find(text_[at_]) != std::string::npos) ++at_;
    }
    char Next() {
        if (at_ >= text_.size()) throw std::runtime_error("unexpected end");
        return text_[at_++];
    }
    void Expect(char wanted) {
        Space();
        if (Next() != wanted) throw std::runtime_error(std::string("expected ") + wanted);
    }
    bool Take(const std::string& word) {
        if (text_.compare(at_, word.size(), word) != 0) return false;
        at_ += word.size();
        return true;
    }
    std::string String() {
        Expect('"');
        std::string out;
        for (char c; (c = Next()) != '"';) {
            if (c != '\\') {
                out += c;
                continue;
            }
            const char escaped = Next();
            if (escaped == 'u') {
                const unsigned code = std::stoul(text_.substr(at_, 4), nullptr, 16);
                at_ += 4;
                if (code >= 0x80) throw std::runtime_error("only ASCII escapes are expected");
                out += static_cast<char>(code);
            } else {
                const std::string from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
                const auto index = from.find(escaped);
                if (index == std::string::npos) throw std::runtime_error("bad escape");
                out += to[index];
            }
        }
        return out;
    }
    Json Value() {
        Space();
        Json value;
        if (at_ < text_.size() && text_[at_] == '"') {
            value.kind = Json::Kind::String;
            value.text = String();
        } else if (Take("{")) {
            value.kind = Json::Kind::Object;
            Space();
            if (!Take("}")) {
                do {
                    const std::string key = String();
                    Expect(':');
                    value.members[key] = Value();
                    Space();
                } while (Take(","));
                Expect('}');
            }
        } else if (Take("[")) {
            value.kind = Json::Kind::Array;
            Space();
            if (!Take("]")) {
                do {
                    value.items.push_back(Value());
                    Space();
                } while (Take(","));
                Expect(']');
            }
        } else if (Take("true")) {
            value.kind = Json::Kind::Boolean;
            value.boolean = true;
        } else if (Take("false")) {
            value.kind = Json::Kind::Boolean;
        } else if (Take("null")) {
        } else {
            std::size_t used = 0;
            value.kind = Json::Kind::Number;
            value.number = std::stod(text_.substr(at_), &used);
            at_ += used;
        }
        return value;
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

}  // namespace velmora::test
