// Compound (structured-storage) files holding one named stream, the form in which DVD
// bookmarks are kept, over libgsf's OLE2 reader and writer. Any thread; nothing is shared.
#pragma once

#include <string>

namespace platform::storage {

// Writes a new compound file at path holding one stream of the given name. The file is
// written under a temporary name in the same folder and renamed over path only once it is
// whole, so an old file survives any failure. Empty when written, else the reason (naming the
// path).
std::string writeCompoundStream(const std::string& path, const std::string& streamName,
                                const std::string& bytes);

enum class ReadStatus {
    Ok,
    NoFile,     // nothing at path
    Unreadable, // the file cannot be opened or read: *error says why
    Foreign,    // not a compound file, or without the stream: *error says which
};
// Reads the named stream of the compound file at path.
ReadStatus readCompoundStream(const std::string& path, const std::string& streamName,
                              std::string* bytes, std::string* error);

} // namespace platform::storage
