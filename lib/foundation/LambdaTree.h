#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/CheckedLock.h"
#include "foundation/CheckedMutex.h"
#include "foundation/Signal.h"
#include "foundation/ThreadSafety.h"

// A tree of named nodes that exposes live values as "/"-separated topics.
// A node is a group of children, a lambda node (getter, optional setter,
// optional change signal) or a JSON node; the object or array a lambda node
// reads is mirrored as JSON nodes below it. A node's abilities include those
// of the nodes inserted below it.
//
// Threads: the tree locks only the lists of change callbacks, so that a
// change emitted on one thread may run them while the owner connects or
// disconnects others. Its owner must serialise every structural
// change (construction, copy, move, assignment and destruction of nodes,
// insert, erase, operator[]), every walk (update, set, which rebuild JSON
// children) and every read (get, topicDump, topicExists, connect,
// disconnect). Getters and setters run on the thread that calls update or
// set. Change callbacks run on whichever thread emits a node's
// signal, inside that emission with the signal's lock held: they may refresh
// and read the tree but must not create, copy, move, assign or destroy a node
// bound to that same signal, and they race with the owner's other accesses
// unless the owner serialises them too. A lock that callbacks take must not
// be held while nodes bound to a signal are created, copied or destroyed:
// those take the signal's lock, so the two threads would deadlock.
class LambdaTree {
public:
    using json = nlohmann::json;
    using Getter = std::function<std::pair<bool, json>()>;
    using Setter = std::function<std::pair<bool, json>(json const&)>;
    using Children = std::map<std::string, LambdaTree>;
    using iterator = Children::iterator;
    using const_iterator = Children::const_iterator;
    // Failed lambda node path (relative to the walk's start) -> error document.
    using Errors = std::map<std::string, json>;

    enum class Kind : int { Group = 0, Lambda = 1, JsonContainer = 2, JsonValue = 3 };
    enum Ability : uint8_t { Get = 1, Set = 2, Notify = 4 };

    LambdaTree();
    explicit LambdaTree(Getter const& getter);
    LambdaTree(Getter const& getter, Setter const& setter);
    // The signal must outlive this node and every copy of it.
    LambdaTree(Getter const& getter, Signal<>& signal);
    LambdaTree(Getter const& getter, Setter const& setter, Signal<>& signal);
    explicit LambdaTree(Children const& children);
    // The flag is forced onto every child, even one that set its own.
    LambdaTree(Children const& children, bool abortOnError);
    LambdaTree(uint8_t abilities, json const& value);

    LambdaTree(LambdaTree const& other);
    // Not noexcept: binding at the new place connects signals, which allocates.
    LambdaTree(LambdaTree&& other); // NOLINT(performance-noexcept-move-constructor)
    LambdaTree& operator=(LambdaTree other);
    ~LambdaTree();

    template <typename T, typename Method> static Getter bindGetter(Method method, T* object) {
        return [method, object]() { return (object->*method)(); };
    }
    template <typename T, typename Method> static Setter bindSetter(Method method, T* object) {
        return [method, object](json const& written) { return (object->*method)(written); };
    }

    Kind getKind() const { return kind; }
    uint8_t getAbilities() const { return abilities; }
    LambdaTree const* getParent() const { return parent; }
    bool getAbortOnError() const { return abortOnError; }
    json getInternal() const { return currentValue(); }

    // Children. The empty name designates this node itself.
    iterator find(std::string const& name);
    const_iterator find(std::string const& name) const;
    LambdaTree& at(std::string const& name);
    LambdaTree const& at(std::string const& name) const;
    LambdaTree& operator[](std::string&& name);
    LambdaTree& operator[](std::string const& name);
    std::pair<iterator, bool> insert(std::pair<std::string, LambdaTree> const& child);
    iterator insert(const_iterator hint, std::pair<std::string, LambdaTree> const& child);
    size_t erase(std::string const& name);
    iterator erase(const_iterator position);
    iterator erase(const_iterator first, const_iterator last);
    iterator begin() { return children.begin(); }
    iterator end() { return children.end(); }
    const_iterator begin() const { return children.begin(); }
    const_iterator end() const { return children.end(); }
    size_t size() const { return children.size(); }

    // Paths: the non-empty pieces between '/' name children from this node.
    // target throws std::runtime_error when a piece names no child.
    LambdaTree& target(std::string const& path, std::string const& from);
    LambdaTree const& target(std::string const& path, std::string const& from) const;
    bool topicExists(std::string const& path) const;
    // Post-order: descendants first, siblings by name, the node itself as "".
    std::vector<std::string> topicDump(std::string const& path, Ability ability) const;

    // Replaces the children by JSON nodes built from document.
    void acceptJson(json const& document, uint8_t childAbilities);
    void setAbortOnError(bool flag);

    // Values. update and set call getters (and setters) and never throw for
    // their failures, which come back as Errors; a path that does not resolve
    // throws before anything is called or changed. A group written with
    // anything but an object is refused ({"code": 22, ...}) and left as it
    // was. A group's value is made of
    // the children its last walk visited, as they hold them now; dump writes
    // the text of get(path).dump() straight from the nodes, without building
    // the value first.
    json get(std::string const& path) const;
    std::string dump(std::string const& path) const;
    Errors update(std::string const& path);
    Errors set(std::string const& path, json const& value);
    // The same for an owner that serialises walks with its lock, held by the
    // caller: the lock is let go while each setter runs (a setter may take it
    // or wait for a thread that does) and held for the rest of the walk.
    Errors set(std::string const& path, json const& value, CheckedLock& ownerLock);

    // Change callbacks, run by changed() of this node or of any descendant.
    uint64_t connect(std::string const& path, std::function<void()> callback);
    bool disconnect(std::string const& path, int id);
    void changed();

private:
    // What a walk hands down: a value to write, or nothing for a refresh.
    struct NewValue {
        bool present;
        json const* value;
        CheckedLock* ownerLock; // let go around setters; may be null
    };
    using SubPath = std::vector<std::string>;

    Errors walk(std::string const& path, NewValue const& newValue);
    // topic is the node's path: each group extends it for a child and
    // restores it afterwards. The pieces of subPath from depth on lie below
    // this node.
    Errors updateInternal(NewValue const& newValue, std::string& topic, SubPath const& subPath,
                          size_t depth);
    Errors updateInternalLambda(NewValue const& newValue, std::string& topic,
                                SubPath const& subPath, size_t depth);
    Errors updateInternalLambdaGroup(NewValue const& newValue, std::string& topic,
                                     SubPath const& subPath, size_t depth);
    static json wrap(SubPath const& subPath, size_t depth, json const& value);
    json currentValue() const;
    // The child called name as a JSON node built from document, refreshed in
    // place when it is one already.
    void acceptChild(std::string const& name, json const& document, uint8_t childAbilities);
    // acceptJson without marking the nodes as changed by hand.
    void acceptDocument(json const& document, uint8_t childAbilities);
    // The nodes below the nearest lambda node at or above this one no longer
    // stand as its last read left them (a JSON node or a lambda node).
    void touchMirror();
    void acceptMembers(json::object_t const& members, uint8_t childAbilities);
    bool isJson() const { return kind == Kind::JsonContainer || kind == Kind::JsonValue; }
    void refresh(json const& document, uint8_t ownAbilities);
    using Serializer = nlohmann::detail::serializer<json>;
    void dumpInto(std::string& text, Serializer& serializer) const;

    // The deepest node reached along components, and how many were consumed.
    LambdaTree const* descend(SubPath const& components, size_t& consumed) const;
    void topicDumpInternal(std::string const& prefix, uint8_t ability,
                           std::vector<std::string>& topics) const;
    LambdaTree& adopt(LambdaTree& child);
    void adoptChildren();

    void swapContent(LambdaTree& other);
    void copyMonitors(LambdaTree const& other);
    void bind();
    void unbind();

    Children children;
    Getter getter;
    Setter setter;
    json value; // unused by groups, whose value is read from their children
    Kind kind = Kind::Group;
    uint8_t abilities = Get;
    bool abortOnError = false;
    bool abortOnErrorExplicit = false;
    LambdaTree* parent = nullptr;
    // Part of the parent group's value: visited by the group's last walk.
    // It belongs to the place in the parent, so a swap leaves it.
    bool inGroupValue = false;
    // The length of this node's last dump, the room the next one starts
    // with. Serialised by the owner like every read of the node.
    mutable size_t dumpedSize = 0;
    // A lambda node's JSON children as its last read built them: fresh
    // while nothing changed them since, built with these abilities.
    struct Mirror {
        bool fresh = false;
        uint8_t abilities = 0;
    } mirror;
    // A lambda node's value as text, written by the first dump after the
    // value changed. Serialised by the owner like every read of the node.
    struct Dumped {
        bool current = false;
        std::string text;
    };
    mutable Dumped dumped;
    Signal<>* signal = nullptr;
    int signalConnection = 0; // 0: not connected
    // Guards every node's change callbacks. A leaf: held to copy one out or
    // to change a list, never while a callback runs or another lock is taken.
    static CheckedMutex monitorsMutex;
    uint64_t lastMonitorId GUARDED_BY(monitorsMutex) = 0;
    std::map<uint64_t, std::function<void()>> monitors GUARDED_BY(monitorsMutex);
};
