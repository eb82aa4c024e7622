// Compound files over libgsf: GsfOutfileMSOle writes, GsfInfileMSOle reads. Every libgsf
// object is held by a small owning reference.
#include "CompoundFile.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform::storage {

namespace {

// One reference to a GObject, dropped with the holder.
template <class T> class Ref {
  public:
    explicit Ref(T* p = nullptr) : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (p_) g_object_unref(p_);
    }
    T* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_;
};

// A GError that frees itself; its text, or fallback when there is none.
struct Error {
    GError* e = nullptr;
    ~Error() { g_clear_error(&e); }
    std::string text(const char* fallback) const { return e ? e->message : fallback; }
};

void ensureGsf() {
    static std::once_flag once;
    std::call_once(once, [] { gsf_init(); });
}

} // namespace

std::string writeCompoundStream(const std::string& path, const std::string& streamName,
                                const std::string& bytes) {
    ensureGsf();
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string temp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(temp.data());
    if (fd < 0) return path + ": cannot be written (" + std::strerror(errno) + ")";
    close(fd);
    const auto failed = [&](const std::string& why) {
        std::error_code ec;
        fs::remove(temp, ec);
        return path + ": cannot be written (" + why + ")";
    };
    {
        Error err;
        Ref<GsfOutput> file(gsf_output_stdio_new(temp.c_str(), &err.e));
        if (!file) return failed(err.text("cannot be created"));
        Ref<GsfOutfile> storage(gsf_outfile_msole_new(file.get()));
        if (!storage) return failed("not a compound file writer");
        Ref<GsfOutput> stream(gsf_outfile_new_child(storage.get(), streamName.c_str(), FALSE));
        if (!stream) return failed("the stream cannot be made");
        const bool wrote = gsf_output_write(stream.get(), bytes.size(),
                                            reinterpret_cast<const guint8*>(bytes.data())) &&
                           gsf_output_close(stream.get()) &&
                           gsf_output_close(GSF_OUTPUT(storage.get()));
        const GError* outErr = gsf_output_error(file.get());
        const std::string why = outErr ? outErr->message : "write error";
        if (!gsf_output_is_closed(file.get()) && !gsf_output_close(file.get()))
            return failed(gsf_output_error(file.get()) ? gsf_output_error(file.get())->message
                                                       : why);
        if (!wrote) return failed(why);
    }
    std::error_code ec;
    fs::rename(temp, target, ec);
    if (ec) return failed(ec.message());
    return {};
}

ReadStatus readCompoundStream(const std::string& path, const std::string& streamName,
                              std::string* bytes, std::string* error) {
    ensureGsf();
    const auto failed = [&](const std::string& why, ReadStatus status = ReadStatus::Foreign) {
        if (error) *error = path + ": " + why;
        return status;
    };
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return ReadStatus::NoFile;
    } else if (!S_ISREG(st.st_mode)) {
        // Opened, a pipe would wait for a writer and a device give what it likes.
        return failed(S_ISDIR(st.st_mode)    ? "is a folder"
                      : S_ISFIFO(st.st_mode) ? "is a pipe"
                                             : "is not a regular file",
                      ReadStatus::Unreadable);
    }
    Error err;
    Ref<GsfInput> file(gsf_input_stdio_new(path.c_str(), &err.e));
    if (!file) return failed(err.text("cannot be opened"), ReadStatus::Unreadable);
    Error oleErr;
    Ref<GsfInfile> storage(gsf_infile_msole_new(file.get(), &oleErr.e));
    if (!storage) return failed("not a compound file (" + oleErr.text("unknown format") + ")");
    Ref<GsfInput> stream(gsf_infile_child_by_name(storage.get(), streamName.c_str()));
    if (!stream) return failed("holds no stream \"" + streamName + "\"");
    const gsf_off_t size = gsf_input_size(stream.get());
    // A stream of ours is small; anything larger is not one.
    if (size < 0 || size > (1 << 20))
        return failed("the stream \"" + streamName + "\" is too large");
    bytes->assign(size_t(size), '\0');
    if (size > 0 &&
        !gsf_input_read(stream.get(), size_t(size), reinterpret_cast<guint8*>(bytes->data())))
        return failed("the stream \"" + streamName + "\" cannot be read", ReadStatus::Unreadable);
    return ReadStatus::Ok;
}

} // namespace platform::storage
