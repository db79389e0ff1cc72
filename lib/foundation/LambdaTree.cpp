#include "foundation/LambdaTree.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>

#include "foundation/Secrets.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

namespace {

// The non-empty pieces between '/', as String::tokenizeV gives them, with
// their room taken once: every get splits its path.
std::vector<std::string> pathComponents(std::string const& path) {
    std::vector<std::string> pieces;
    pieces.reserve(static_cast<size_t>(std::count(path.begin(), path.end(), '/')) + 1);
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            pieces.emplace_back(path, start, end - start);
        }
        start = end + 1;
    }
    return pieces;
}

std::string joinComponents(std::vector<std::string>::const_iterator first,
                           std::vector<std::string>::const_iterator last) {
    std::string joined;
    for (auto it = first; it != last; ++it) {
        joined += (it == first ? "" : "/") + *it;
    }
    return joined;
}

// path = Utils::combinePath(path, name), without a new string.
void appendPath(std::string& path, std::string const& name) {
    size_t const skipped = !name.empty() && name[0] == '/' ? 1 : 0;
    if (!path.empty() && name.empty()) {
        return;
    }
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path.append(name, skipped, std::string::npos);
}

// A key as the JSON library writes it: names of plain printable characters
// as they are, any other through the library's own escaping.
void appendKey(std::string& text, std::string const& key) {
    bool const plain = std::all_of(key.begin(), key.end(), [](char c) {
        auto const byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte <= 0x7F && c != '"' && c != '\\';
    });
    if (!plain) {
        text += nlohmann::json(key).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return;
    }
    text += '"';
    text += key;
    text += '"';
}

// Whether name is a member of the object document or an index ("0", "1", ...)
// of the array document.
bool holds(nlohmann::json const& document, std::string const& name) {
    if (document.is_object()) {
        return document.contains(name);
    }
    if (!document.is_array() || name.empty() || name.size() > 19 ||
        name.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    size_t const index = std::stoull(name);
    return index < document.size() && std::to_string(index) == name;
}

// target = source, reusing target's strings and the nodes of its objects and
// arrays where both hold the same kind of value. Both objects keep their
// members in key order, so one pass pairs them without a look-up.
void assignInPlace(nlohmann::json& target, nlohmann::json const& source) {
    using json = nlohmann::json;
    // NOLINTNEXTLINE(bugprone-branch-clone): a plain assignment in two cases
    if (target.type() != source.type()) {
        target = source;
    } else if (source.is_object()) {
        auto& into = target.get_ref<json::object_t&>();
        auto member = into.begin();
        for (auto const& from : source.get_ref<json::object_t const&>()) {
            while (member != into.end() && member->first < from.first) {
                member = into.erase(member);
            }
            if (member == into.end() || member->first != from.first) {
                member = into.emplace_hint(member, from.first, json());
            }
            assignInPlace(member->second, from.second);
            ++member;
        }
        into.erase(member, into.end());
    } else if (source.is_array()) {
        auto& into = target.get_ref<json::array_t&>();
        auto const& from = source.get_ref<json::array_t const&>();
        into.resize(from.size());
        for (size_t i = 0; i < from.size(); ++i) {
            assignInPlace(into[i], from[i]);
        }
    } else if (source.is_string()) {
        target.get_ref<std::string&>() = source.get_ref<std::string const&>();
    } else {
        target = source;
    }
}

// Whether two documents are the same down to the kind of each number, so
// that one is written exactly as the other: 1 and 1.0 count as different.
bool identical(nlohmann::json const& left, nlohmann::json const& right) {
    using json = nlohmann::json;
    if (left.type() != right.type()) {
        return false;
    }
    switch (left.type()) {
    case json::value_t::object: {
        auto const& a = left.get_ref<json::object_t const&>();
        auto const& b = right.get_ref<json::object_t const&>();
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(), [](auto const& x, auto const& y) {
                   return x.first == y.first && identical(x.second, y.second);
               });
    }
    case json::value_t::array: {
        auto const& a = left.get_ref<json::array_t const&>();
        auto const& b = right.get_ref<json::array_t const&>();
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), identical);
    }
    case json::value_t::number_float: {
        // -0.0 and 0.0 are written differently; NaN is never the same.
        double const a = left.get<double>();
        double const b = right.get<double>();
        return a == b && std::signbit(a) == std::signbit(b);
    }
    default:
        return left == right;
    }
}

// A group is written with an object of its children's values; anything else
// is refused as the service refuses a request of the wrong form (its result
// code InvalidParameter), without showing the value.
nlohmann::json notAnObject(nlohmann::json const& written) {
    constexpr int InvalidParameter = 22;
    return {{"code", InvalidParameter},
            {"what", "InvalidParameter"},
            {"description", "a JSON object of the members to write is expected here, got " +
                                Secrets::described(written)}};
}

// Runs a getter or setter call; a std::exception becomes the error document.
template <typename Call> std::pair<bool, nlohmann::json> guarded(Call const& call) {
    try {
        return call();
    } catch (std::exception const& e) {
        return {false, {{"exception", e.what()}}};
    }
}

} // namespace

LambdaTree::LambdaTree() = default;

LambdaTree::LambdaTree(Getter const& read) : getter(read), kind(Kind::Lambda) {}

LambdaTree::LambdaTree(Getter const& read, Setter const& write)
    : getter(read), setter(write), kind(Kind::Lambda), abilities(Get | Set) {}

LambdaTree::LambdaTree(Getter const& read, Signal<>& changed)
    : getter(read), kind(Kind::Lambda), abilities(Get | Notify), signal(&changed) {
    bind();
}

LambdaTree::LambdaTree(Getter const& read, Setter const& write, Signal<>& changed)
    : getter(read), setter(write), kind(Kind::Lambda), abilities(Get | Set | Notify),
      signal(&changed) {
    bind();
}

LambdaTree::LambdaTree(Children const& childTrees) : children(childTrees) {
    for (auto& entry : this->children) {
        abilities |= adopt(entry.second).abilities;
    }
}

LambdaTree::LambdaTree(Children const& childTrees, bool abortsOnError) : LambdaTree(childTrees) {
    abortOnError = abortsOnError;
    abortOnErrorExplicit = true;
    for (auto& entry : children) {
        entry.second.setAbortOnError(abortsOnError);
    }
}

LambdaTree::LambdaTree(uint8_t treeAbilities, json const& initial)
    : value(initial), kind(initial.is_structured() ? Kind::JsonContainer : Kind::JsonValue),
      abilities(treeAbilities) {
    acceptDocument(initial, treeAbilities);
}

CheckedMutex LambdaTree::monitorsMutex;

LambdaTree::LambdaTree(LambdaTree const& other)
    : children(other.children), getter(other.getter), setter(other.setter), value(other.value),
      kind(other.kind), abilities(other.abilities), abortOnError(other.abortOnError),
      abortOnErrorExplicit(other.abortOnErrorExplicit), inGroupValue(other.inGroupValue),
      mirror(other.mirror), dumped(other.dumped), signal(other.signal) {
    copyMonitors(other);
    adoptChildren();
    bind();
}

// Apart from the constructor, which the thread-safety analysis does not check.
void LambdaTree::copyMonitors(LambdaTree const& other) {
    CheckedLock lock(monitorsMutex);
    lastMonitorId = other.lastMonitorId;
    monitors = other.monitors;
}

// NOLINTNEXTLINE(performance-noexcept-move-constructor,bugprone-exception-escape)
LambdaTree::LambdaTree(LambdaTree&& other) : LambdaTree() {
    other.unbind();
    swapContent(other);
    // The source stays where it is held, so it keeps its parent as well.
    parent = other.parent;
    inGroupValue = other.inGroupValue;
    bind();
}

LambdaTree& LambdaTree::operator=(LambdaTree other) {
    // Drop both connections before the swap, so that no emission ever
    // reaches a node through a connection made for the other one.
    unbind();
    other.unbind();
    swapContent(other);
    bind();
    if (parent) {
        parent->abilities |= abilities;
        parent->touchMirror();
    }
    touchMirror();
    return *this;
}

LambdaTree::~LambdaTree() {
    unbind();
}

void LambdaTree::swapContent(LambdaTree& other) {
    using std::swap;
    swap(children, other.children);
    swap(getter, other.getter);
    swap(setter, other.setter);
    swap(value, other.value);
    swap(kind, other.kind);
    swap(abilities, other.abilities);
    swap(abortOnError, other.abortOnError);
    swap(abortOnErrorExplicit, other.abortOnErrorExplicit);
    swap(mirror, other.mirror);
    swap(dumped, other.dumped);
    swap(signal, other.signal);
    swap(signalConnection, other.signalConnection);
    {
        CheckedLock lock(monitorsMutex);
        swap(lastMonitorId, other.lastMonitorId);
        swap(monitors, other.monitors);
    }
    adoptChildren();
    other.adoptChildren();
}

void LambdaTree::bind() {
    if (signal) {
        signalConnection = signal->connect_member(this, &LambdaTree::changed);
    }
}

void LambdaTree::unbind() {
    if (signal && signalConnection != 0) {
        signal->disconnect(signalConnection);
        signalConnection = 0;
    }
}

LambdaTree& LambdaTree::adopt(LambdaTree& child) {
    child.parent = this;
    return child;
}

void LambdaTree::adoptChildren() {
    for (auto& entry : children) {
        adopt(entry.second);
    }
}

LambdaTree::iterator LambdaTree::find(std::string const& name) {
    return children.find(name);
}

LambdaTree::const_iterator LambdaTree::find(std::string const& name) const {
    return children.find(name);
}

LambdaTree& LambdaTree::at(std::string const& name) {
    return const_cast<LambdaTree&>(static_cast<LambdaTree const&>(*this).at(name));
}

LambdaTree const& LambdaTree::at(std::string const& name) const {
    return name.empty() ? *this : children.at(name);
}

LambdaTree& LambdaTree::operator[](std::string&& name) {
    if (name.empty()) {
        return *this;
    }
    touchMirror();
    return adopt(children[std::move(name)]);
}

LambdaTree& LambdaTree::operator[](std::string const& name) {
    if (name.empty()) {
        return *this;
    }
    touchMirror();
    return adopt(children[name]);
}

std::pair<LambdaTree::iterator, bool>
LambdaTree::insert(std::pair<std::string, LambdaTree> const& child) {
    touchMirror();
    abilities |= child.second.abilities;
    auto result = children.insert(child);
    adopt(result.first->second);
    return result;
}

LambdaTree::iterator LambdaTree::insert(const_iterator hint,
                                        std::pair<std::string, LambdaTree> const& child) {
    touchMirror();
    abilities |= child.second.abilities;
    auto it = children.insert(hint, child);
    adopt(it->second);
    return it;
}

size_t LambdaTree::erase(std::string const& name) {
    touchMirror();
    return children.erase(name);
}

LambdaTree::iterator LambdaTree::erase(const_iterator position) {
    touchMirror();
    return children.erase(position);
}

LambdaTree::iterator LambdaTree::erase(const_iterator first, const_iterator last) {
    touchMirror();
    return children.erase(first, last);
}

LambdaTree const* LambdaTree::descend(SubPath const& components, size_t& consumed) const {
    LambdaTree const* node = this;
    for (consumed = 0; consumed < components.size(); ++consumed) {
        auto it = node->children.find(components[consumed]);
        if (it == node->children.end()) {
            break;
        }
        node = &it->second;
    }
    return node;
}

LambdaTree& LambdaTree::target(std::string const& path, std::string const& from) {
    return const_cast<LambdaTree&>(static_cast<LambdaTree const&>(*this).target(path, from));
}

LambdaTree const& LambdaTree::target(std::string const& path, std::string const& from) const {
    SubPath components = pathComponents(path);
    size_t consumed = 0;
    LambdaTree const* node = descend(components, consumed);
    if (consumed == components.size()) {
        return *node;
    }
    std::string failedAt = from;
    for (size_t i = 0; i < consumed; ++i) {
        failedAt = Utils::combinePath(failedAt, components[i]);
    }
    // Until the first step succeeds the caller's text is shown as given.
    std::string remaining =
        consumed == 0 ? path : joinComponents(components.begin() + consumed, components.end());
    throw std::runtime_error(String::format("LambdaTree::Target failed from %s to %s",
                                            failedAt.c_str(), remaining.c_str()));
}

bool LambdaTree::topicExists(std::string const& path) const {
    SubPath components = pathComponents(path);
    size_t consumed = 0;
    descend(components, consumed);
    return consumed == components.size();
}

std::vector<std::string> LambdaTree::topicDump(std::string const& path, Ability ability) const {
    std::vector<std::string> topics;
    target(path, "").topicDumpInternal("", ability, topics);
    return topics;
}

void LambdaTree::topicDumpInternal(std::string const& prefix, uint8_t ability,
                                   std::vector<std::string>& topics) const {
    for (auto const& entry : children) {
        entry.second.topicDumpInternal(Utils::combinePath(prefix, entry.first), ability, topics);
    }
    if ((abilities & ability) != 0) {
        topics.push_back(prefix);
    }
}

void LambdaTree::acceptJson(json const& document, uint8_t childAbilities) {
    touchMirror();
    acceptDocument(document, childAbilities);
}

void LambdaTree::touchMirror() {
    for (LambdaTree* node = this; node && node->kind != Kind::Group; node = node->parent) {
        if (node->kind == Kind::Lambda) {
            node->mirror.fresh = false;
            return;
        }
    }
}

void LambdaTree::acceptDocument(json const& document, uint8_t childAbilities) {
    // Refreshed in place, so that a get whose values keep their shape
    // neither builds nor destroys nodes.
    if (document.is_object()) {
        acceptMembers(document.get_ref<json::object_t const&>(), childAbilities);
        return;
    }
    for (auto child = children.begin(); child != children.end();) {
        child = holds(document, child->first) ? std::next(child) : children.erase(child);
    }
    if (document.is_array()) {
        for (size_t i = 0; i < document.size(); ++i) {
            acceptChild(std::to_string(i), document[i], childAbilities);
        }
    }
}

void LambdaTree::acceptMembers(json::object_t const& members, uint8_t childAbilities) {
    // The children and the members are both in key order: one pass pairs
    // them, and a child no member names goes.
    auto child = children.begin();
    for (auto const& member : members) {
        while (child != children.end() && child->first < member.first) {
            child = children.erase(child);
        }
        bool const named = child != children.end() && child->first == member.first;
        if (named && child->second.isJson()) {
            child->second.refresh(member.second, childAbilities);
        } else {
            if (named) {
                child = children.erase(child);
            }
            child = children.emplace_hint(child, member.first,
                                          LambdaTree(childAbilities, member.second));
            adopt(child->second);
        }
        ++child;
    }
    children.erase(child, children.end());
}

void LambdaTree::acceptChild(std::string const& name, json const& document,
                             uint8_t childAbilities) {
    auto const found = children.find(name);
    if (found != children.end()) {
        if (found->second.isJson()) {
            found->second.refresh(document, childAbilities);
            return;
        }
        children.erase(found);
    }
    adopt(children.emplace(name, LambdaTree(childAbilities, document)).first->second);
}

void LambdaTree::refresh(json const& document, uint8_t ownAbilities) {
    // Left as a node built from document would be: no flags or callbacks of its own.
    assignInPlace(value, document);
    kind = value.is_structured() ? Kind::JsonContainer : Kind::JsonValue;
    abilities = ownAbilities;
    abortOnError = false;
    abortOnErrorExplicit = false;
    {
        CheckedLock lock(monitorsMutex);
        monitors.clear();
        lastMonitorId = 0;
    }
    acceptDocument(value, ownAbilities);
}

void LambdaTree::setAbortOnError(bool flag) {
    touchMirror();
    abortOnError = flag;
    for (auto& entry : children) {
        if (!entry.second.abortOnErrorExplicit) {
            entry.second.setAbortOnError(flag);
        }
    }
}

LambdaTree::json LambdaTree::get(std::string const& path) const {
    return target(path, "").currentValue();
}

std::string LambdaTree::dump(std::string const& path) const {
    LambdaTree const& node = target(path, "");
    std::string text;
    // Room for the text of the last dump of this node, and some: growing the
    // text step by step copied it over again at each step.
    text.reserve(node.dumpedSize + node.dumpedSize / 8);
    // One writer for every value, straight into text: text from boards that
    // is not valid UTF-8 is written with U+FFFD in its place.
    Serializer serializer(nlohmann::detail::output_adapter<char>(text), ' ',
                          json::error_handler_t::replace);
    node.dumpInto(text, serializer);
    node.dumpedSize = text.size();
    return text;
}

LambdaTree::json LambdaTree::currentValue() const {
    if (kind != Kind::Group) {
        return value;
    }
    json composed; // null until a member is set, as a walk that visits nothing leaves it
    for (auto const& entry : children) {
        if (entry.second.inGroupValue) {
            composed[entry.first] = entry.second.currentValue();
        }
    }
    return composed;
}

void LambdaTree::dumpInto(std::string& text, Serializer& serializer) const {
    if (kind == Kind::Lambda && dumped.current) {
        text += dumped.text;
        return;
    }
    if (kind != Kind::Group) {
        size_t const start = text.size();
        serializer.dump(value, false, false, 0);
        if (kind == Kind::Lambda) {
            dumped.text.assign(text, start, std::string::npos);
            dumped.current = true;
        }
        return;
    }
    // The members in the order of the children, which is the order in which
    // the JSON library keeps and writes an object's keys.
    bool empty = true;
    for (auto const& entry : children) {
        if (!entry.second.inGroupValue) {
            continue;
        }
        text += empty ? '{' : ',';
        appendKey(text, entry.first);
        text += ':';
        entry.second.dumpInto(text, serializer);
        empty = false;
    }
    text += empty ? "null" : "}";
}

LambdaTree::Errors LambdaTree::update(std::string const& path) {
    static json const nothing = json::object();
    return walk(path, NewValue{false, &nothing, nullptr});
}

LambdaTree::Errors LambdaTree::set(std::string const& path, json const& newValue) {
    return walk(path, NewValue{true, &newValue, nullptr});
}

LambdaTree::Errors LambdaTree::set(std::string const& path, json const& newValue,
                                   CheckedLock& ownerLock) {
    return walk(path, NewValue{true, &newValue, &ownerLock});
}

LambdaTree::Errors LambdaTree::walk(std::string const& path, NewValue const& newValue) {
    // Resolving first keeps a mistyped path from calling any getter or
    // setter and from reporting an empty error map as success.
    SubPath const components = pathComponents(path);
    size_t consumed = 0;
    descend(components, consumed);
    if (consumed != components.size()) {
        target(path, ""); // throws the error that names the failed step
    }
    std::string topic;
    return updateInternal(newValue, topic, components, 0);
}

LambdaTree::Errors LambdaTree::updateInternal(NewValue const& newValue, std::string& topic,
                                              SubPath const& subPath, size_t depth) {
    switch (kind) {
    case Kind::Group:
        return updateInternalLambdaGroup(newValue, topic, subPath, depth);
    case Kind::Lambda:
        return updateInternalLambda(newValue, topic, subPath, depth);
    default:
        throw std::runtime_error("impossible node");
    }
}

LambdaTree::Errors LambdaTree::updateInternalLambdaGroup(NewValue const& newValue,
                                                         std::string& topic, SubPath const& subPath,
                                                         size_t depth) {
    Errors errors;
    bool const toEnd = depth >= subPath.size();
    if (toEnd && newValue.present && !newValue.value->is_object()) {
        errors[topic] = notAnObject(*newValue.value);
        return errors;
    }
    // The group's value becomes the children visited here; a walk that ends
    // in an exception leaves it as it was.
    std::vector<LambdaTree*> visited;
    // A path that goes on names the one child to visit: found, not searched for.
    auto first = children.begin();
    auto last = children.end();
    if (!toEnd) {
        first = children.find(subPath[depth]);
        last = first == children.end() ? first : std::next(first);
    }
    visited.reserve(toEnd ? children.size() : 1);
    json const& given = *newValue.value;
    for (auto entry = first; entry != last; ++entry) {
        std::string const& name = entry->first;
        bool const member = toEnd && given.is_object() && given.contains(name);
        if (toEnd && newValue.present && !member) {
            continue;
        }
        NewValue const childValue{newValue.present, member ? &given.at(name) : &given,
                                  newValue.ownerLock};
        visited.push_back(&entry->second);
        size_t const parentLength = topic.size();
        appendPath(topic, name);
        Errors childErrors = entry->second.updateInternal(childValue, topic, subPath, depth + 1);
        topic.resize(parentLength);
        if (childErrors.empty()) {
            continue;
        }
        errors.insert(childErrors.begin(), childErrors.end());
        // A document that is just true counts as a warning, never as a reason to stop.
        bool const failed =
            std::any_of(childErrors.begin(), childErrors.end(),
                        [](Errors::value_type const& error) { return error.second != json(true); });
        if (failed && abortOnError) {
            break;
        }
    }
    for (auto& entry : children) {
        entry.second.inGroupValue = false;
    }
    for (LambdaTree* child : visited) {
        child->inGroupValue = true;
    }
    return errors;
}

LambdaTree::Errors LambdaTree::updateInternalLambda(NewValue const& newValue, std::string& topic,
                                                    SubPath const& subPath, size_t depth) {
    std::pair<bool, json> written{true, nullptr};
    if (newValue.present && setter) {
        json const wrapped = wrap(subPath, depth, *newValue.value);
        auto const write = [&] { return guarded([&] { return setter(wrapped); }); };
        written = newValue.ownerLock ? newValue.ownerLock->whileReleased(write) : write();
    }
    // Read back also after a failed write: the cache shows what the node holds now.
    std::pair<bool, json> read = guarded([&] { return getter(); });
    Errors errors;
    json next;
    if (!read.first) {
        errors[topic] = std::move(read.second);
    } else {
        if (!written.first) {
            errors[topic] = std::move(written.second);
        }
        next = std::move(read.second);
    }
    // Most reads find the value as it was: its text and the nodes below it
    // stand as they are, instead of being rebuilt for every get.
    bool const same = identical(value, next);
    if (!same) {
        value = std::move(next);
        dumped.current = false;
    }
    if (value.is_structured() && !(same && mirror.fresh && mirror.abilities == abilities)) {
        acceptDocument(value, abilities);
        mirror = {true, abilities};
    }
    return errors;
}

LambdaTree::json LambdaTree::wrap(SubPath const& subPath, size_t depth, json const& value) {
    json wrapped = value;
    // A walk past the end of the path leaves nothing to wrap.
    auto const below = static_cast<std::ptrdiff_t>(std::min(depth, subPath.size()));
    for (auto it = subPath.rbegin(); it != subPath.rend() - below; ++it) {
        json level = json::object();
        level[*it] = std::move(wrapped);
        wrapped = std::move(level);
    }
    return wrapped;
}

uint64_t LambdaTree::connect(std::string const& path, std::function<void()> callback) {
    LambdaTree& node = target(path, "");
    // A node below a lambda node loses its callbacks when the value is read
    // again: the lambda node must not keep its nodes as they are.
    node.touchMirror();
    CheckedLock lock(monitorsMutex);
    node.monitors[++node.lastMonitorId] = std::move(callback);
    return node.lastMonitorId;
}

bool LambdaTree::disconnect(std::string const& path, int id) {
    LambdaTree& node = target(path, "");
    CheckedLock lock(monitorsMutex);
    return id > 0 && node.monitors.erase(static_cast<uint64_t>(id)) > 0;
}

void LambdaTree::changed() {
    for (LambdaTree* node = this; node; node = node->parent) {
        // The next callback is looked up after each call, so a callback may
        // connect or disconnect others of the same node; a copy is called,
        // without the lock, so it stays alive when it disconnects itself.
        uint64_t id = 0; // ids start at 1
        for (;;) {
            std::function<void()> callback;
            {
                CheckedLock lock(monitorsMutex);
                auto const next = node->monitors.upper_bound(id);
                if (next == node->monitors.end()) {
                    break;
                }
                id = next->first;
                callback = next->second;
            }
            callback();
        }
    }
}
