#include "FileStore.h"

#include "LittleEndian.h"
#include "Md5.h"

#include <algorithm>

namespace boardsim {

namespace {

enum Sub : uint8_t { Open = 0, WriteSub = 1, ReadSub = 2, Delete = 3, Checksum = 4 };
constexpr uint8_t InvalidValue = 0x86;
constexpr size_t WriteHeaderSize = 10;
constexpr size_t ReadRequestSize = 4;

} // namespace

FileStore::FileStore(std::map<std::string, Bytes> initialFiles) : files(std::move(initialFiles)) {}

uint64_t FileStore::segmentCount(uint64_t length) {
    return (length + SegmentSize - 1) / SegmentSize;
}

std::string const* FileStore::nameOf(uint8_t handle) const {
    auto it = names.find(handle);
    return it == names.end() ? nullptr : &it->second;
}

Answer FileStore::handle(Bytes const& payload, Behaviour const& behaviour, bool legacyChecksum) {
    const uint8_t sub = payload[0];
    if (sub == Open) {
        return open(payload, behaviour.openMissing);
    }
    if (sub > Checksum) {
        return Answer::fail(InvalidValue);
    }
    const size_t minimum = (sub == WriteSub || sub == ReadSub) ? ReadRequestSize : 2;
    if (payload.size() < minimum) {
        return Answer::resulting(Format);
    }
    const uint8_t handle = payload[1];
    switch (sub) {
    case WriteSub:
        return write(handle, payload, behaviour.lastWriteResult);
    case ReadSub:
        return read(handle, payload, behaviour.lastReadResult);
    case Delete:
        return remove(handle);
    default:
        // A board that does not know the checksum refuses it as a bus error.
        return legacyChecksum ? Answer::fail(InvalidValue) : checksum(handle);
    }
}

Answer FileStore::open(Bytes const& payload, OpenMissing openMissing) {
    auto end = std::find(payload.begin() + 1, payload.end(), 0);
    if (end == payload.end() || end + 1 != payload.end()) {
        return Answer::resulting(Name);
    }
    const std::string name(payload.begin() + 1, end);
    if (name.empty() || name.size() > MaxName || name.find('/') != std::string::npos) {
        return Answer::resulting(Name);
    }
    if (!files.count(name) && openMissing == OpenMissing::NotFound) {
        return Answer::resulting(NotFound);
    }
    auto known = handles.find(name);
    if (known != handles.end()) {
        return Answer::resulting(Success, {known->second});
    }
    // Handle 0 would be indistinguishable from the disarm request.
    if (names.size() >= 255) {
        return Answer::resulting(Storage);
    }
    const uint8_t handle = uint8_t(names.size() + 1);
    handles[name] = handle;
    names[handle] = name;
    return Answer::resulting(Success, {handle});
}

Answer FileStore::write(uint8_t handle, Bytes const& payload, int16_t lastResult) {
    const uint16_t index = LittleEndian::get16(payload, 2);
    std::string const* name = nameOf(handle);
    if (index == 0 && payload.size() == WriteHeaderSize) {
        if (!name) {
            return Answer::resulting(Descriptor);
        }
        const uint32_t length = LittleEndian::get32(payload, 4);
        const uint16_t count = LittleEndian::get16(payload, 8);
        writes.erase(handle);
        // Checked first: a 16-bit count cannot describe such a file anyway.
        if (length > MaxLength) {
            return Answer::resulting(Storage);
        }
        if (count != segmentCount(length)) {
            return Answer::resulting(Size);
        }
        if (count == 0) {
            files[*name] = {};
            return Answer::resulting(Success);
        }
        writes[handle] = Write{length, count, 1, {}};
        return Answer::resulting(Success);
    }
    auto it = writes.find(handle);
    if (it == writes.end() || index != it->second.next) {
        return Answer::resulting(Sequence);
    }
    Write& w = it->second;
    const size_t expected =
        std::min<size_t>(SegmentSize, w.length - size_t(index - 1) * SegmentSize);
    if (payload.size() - ReadRequestSize != expected) {
        return Answer::resulting(Size);
    }
    w.data.insert(w.data.end(), payload.begin() + ReadRequestSize, payload.end());
    ++w.next;
    if (index < w.count) {
        return Answer::resulting(Success);
    }
    files[*name] = std::move(w.data);
    writes.erase(it);
    return Answer::resulting(lastResult);
}

Answer FileStore::read(uint8_t handle, Bytes const& payload, int16_t lastResult) {
    const uint16_t index = LittleEndian::get16(payload, 2);
    std::string const* name = nameOf(handle);
    if (index == 0) {
        if (!name) {
            return Answer::resulting(Descriptor);
        }
        auto file = files.find(*name);
        if (file == files.end()) {
            return Answer::resulting(NotFound);
        }
        Read snapshot{file->second, uint16_t(segmentCount(file->second.size()))};
        Bytes rest;
        LittleEndian::put32(rest, uint32_t(snapshot.content.size()));
        LittleEndian::put16(rest, snapshot.count);
        reads[handle] = std::move(snapshot);
        return Answer::resulting(Success, rest);
    }
    auto it = reads.find(handle);
    if (it == reads.end() || index > it->second.count) {
        return Answer::resulting(Sequence);
    }
    Bytes const& content = it->second.content;
    const size_t from = size_t(index - 1) * SegmentSize;
    const size_t to = std::min(content.size(), from + SegmentSize);
    return Answer::resulting(index == it->second.count ? lastResult : int16_t(Success),
                             Bytes(content.begin() + from, content.begin() + to));
}

Answer FileStore::remove(uint8_t handle) {
    std::string const* name = nameOf(handle);
    if (!name) {
        return Answer::resulting(Descriptor);
    }
    return Answer::resulting(files.erase(*name) ? Success : NotFound);
}

Answer FileStore::checksum(uint8_t handle) {
    std::string const* name = nameOf(handle);
    if (!name) {
        return Answer::resulting(Descriptor);
    }
    auto file = files.find(*name);
    if (file == files.end()) {
        return Answer::resulting(NotFound);
    }
    auto const md5 = Md5::digest(file->second);
    Bytes rest;
    rest.reserve(4 + md5.size());
    LittleEndian::put32(rest, uint32_t(file->second.size()));
    rest.insert(rest.end(), md5.begin(), md5.end());
    return Answer::resulting(Success, rest);
}

std::string FileStore::summarize(Bytes const& payload) const {
    const uint8_t sub = payload[0];
    if (sub == Open) {
        auto end = std::find(payload.begin() + 1, payload.end(), 0);
        return "file open '" + std::string(payload.begin() + 1, end) + "'";
    }
    if (payload.size() < 2) {
        return "file sub " + std::to_string(sub) + " short";
    }
    const std::string h = " h=" + std::to_string(payload[1]);
    if ((sub == WriteSub || sub == ReadSub) && payload.size() >= ReadRequestSize) {
        const uint16_t index = LittleEndian::get16(payload, 2);
        char const* what = sub == WriteSub ? "file write" : "file read";
        if (index == 0) {
            std::string text = std::string(what) + " header" + h;
            if (sub == WriteSub && payload.size() == WriteHeaderSize) {
                text += " len=" + std::to_string(LittleEndian::get32(payload, 4)) +
                        " count=" + std::to_string(LittleEndian::get16(payload, 8));
            }
            return text;
        }
        std::string count = "?";
        if (sub == WriteSub && writes.count(payload[1])) {
            count = std::to_string(writes.at(payload[1]).count);
        } else if (sub == ReadSub && reads.count(payload[1])) {
            count = std::to_string(reads.at(payload[1]).count);
        }
        std::string text = std::string(what) + " seg " + std::to_string(index) + "/" + count + h;
        if (sub == WriteSub) {
            text += " len=" + std::to_string(payload.size() - ReadRequestSize);
        }
        return text;
    }
    static char const* subNames[] = {"file open", "file write", "file read", "file delete",
                                     "file checksum"};
    return (sub <= Checksum ? std::string(subNames[sub]) : "file sub " + std::to_string(sub)) + h;
}

void FileStore::put(std::string const& name, Bytes const& content) {
    files[name] = content;
}

std::optional<Bytes> FileStore::get(std::string const& name) const {
    auto it = files.find(name);
    if (it == files.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool FileStore::remove(std::string const& name) {
    return files.erase(name) > 0;
}

std::vector<FileEntry> FileStore::list() const {
    std::vector<FileEntry> out;
    for (auto const& [name, content] : files) {
        out.push_back(FileEntry{name, content.size(), Md5::hex(content)});
    }
    return out;
}

} // namespace boardsim
