#include "platform/json/SuperObject.h"

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace ct {

using Json = nlohmann::ordered_json;

struct TSuperObject::Impl {
    Json value = Json::object();
};

TSuperObject::TSuperObject() : impl(std::make_unique<Impl>()) {}
TSuperObject::~TSuperObject() = default;

namespace {
const Json* Member(const Json& object, std::string_view name) {
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}
} // namespace

std::shared_ptr<TSuperObject> TSuperObject::O(std::string_view name) const {
    const Json* m = Member(impl->value, name);
    if (!m || !m->is_object())
        return nullptr;
    auto child = std::make_shared<TSuperObject>();
    child->impl->value = *m;
    return child;
}

std::string TSuperObject::S(std::string_view name) const {
    const Json* m = Member(impl->value, name);
    if (!m || m->is_null())
        return {};
    if (m->is_string())
        return m->get<std::string>();
    return m->dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::int64_t TSuperObject::I(std::string_view name) const {
    const Json* m = Member(impl->value, name);
    if (!m)
        return 0;
    if (m->is_number_integer())
        return m->get<std::int64_t>();
    if (m->is_number_unsigned()) {
        auto u = m->get<std::uint64_t>();
        return static_cast<std::int64_t>(u);
    }
    if (m->is_number_float()) {
        double d = m->get<double>();
        if (d >= -9.2e18 && d <= 9.2e18)
            return static_cast<std::int64_t>(d);
        return 0;
    }
    if (m->is_boolean())
        return m->get<bool>() ? 1 : 0;
    if (m->is_string()) {
        const auto& s = m->get_ref<const std::string&>();
        try {
            std::size_t used = 0;
            long long v = std::stoll(s, &used, 10);
            return used == s.size() ? v : 0;
        } catch (const std::exception&) {
            return 0;
        }
    }
    return 0;
}

void TSuperObject::SetS(std::string_view name, const std::string& value) {
    impl->value[std::string(name)] = value;
}

bool TSuperObject::Has(std::string_view name) const {
    return Member(impl->value, name) != nullptr;
}

std::string TSuperObject::AsJSon() const {
    // Invalid UTF-8 in a member is replaced rather than aborting the rewrite of a job line.
    return impl->value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

namespace {

// How deep the text nests, found without recursion and without building anything, so that a
// line of 100,000 "[" is refused before the parser, the copies and the serialiser (which all
// recurse) ever see it. Brackets inside strings do not count. Gives the byte offset where the
// cap was passed, or nullopt when the text stays within it.
std::optional<std::size_t> FirstOffsetTooDeep(std::string_view text) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '{':
        case '[':
            if (++depth > kMaxJobDepth)
                return i;
            break;
        case '}':
        case ']':
            --depth;
            break;
        default:
            break;
        }
    }
    return std::nullopt;
}

} // namespace

ISuperObject SO(std::string_view text) {
    // No error text below quotes the input: a job line holds a password, and the parser's own
    // messages show the bytes it last read.
    if (text.size() > kMaxJobLineBytes)
        throw JsonError("not a JSON job line: longer than " + std::to_string(kMaxJobLineBytes) + " bytes");
    // The parser takes a NUL byte for the end of the input and would accept "{...}\0garbage"
    // (say a line whose tail a crash left as zero bytes). No JSON text holds a raw NUL.
    if (text.find('\0') != std::string_view::npos)
        throw JsonError("not a JSON job line: the text holds a NUL byte");
    if (auto at = FirstOffsetTooDeep(text))
        throw JsonError("not a JSON job line: nested deeper than " + std::to_string(kMaxJobDepth) +
                        " levels at byte " + std::to_string(*at + 1));
    Json parsed;
    try {
        parsed = Json::parse(text.begin(), text.end());
    } catch (const Json::parse_error& e) {
        throw JsonError("not a JSON job line: syntax error at byte " + std::to_string(e.byte));
    } catch (const Json::exception&) {
        throw JsonError("not a JSON job line: the text cannot be read as JSON");
    }
    if (!parsed.is_object())
        throw JsonError("not a JSON job line: the text is not a JSON object");
    auto obj = std::make_shared<TSuperObject>();
    obj->impl->value = std::move(parsed);
    return obj;
}

} // namespace ct
