// The static folders of serve: URL prefixes mapped to directories opened
// once at start-up, and files opened beneath them. Free of the interpreter,
// so that application threads answer from them with the lock released.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parse/media_types.hpp"

namespace zelweb {

// Opens `relative` ("a/b.css": segments joined by single "/", none empty,
// ".", ".." or starting with "."; no leading "/"; "" for the directory
// itself) beneath `directory` with `flags` (O_CLOEXEC is added): the
// descriptor, or -1 with errno set. Nothing outside the directory is ever opened, whatever the
// symbolic links: openat2's RESOLVE_BENEATH, which follows the links that
// stay inside; where the kernel lacks openat2 (before Linux 5.6, or a
// sandbox that refuses it), open_walking.
int open_beneath(int directory, std::string_view relative, int flags);

// The same one segment at a time, each opened without following a
// symbolic link: any link on the way fails with ELOOP or ENOTDIR, even one
// that stays inside. The fallback of open_beneath.
int open_walking(int directory, std::string_view relative, int flags);

// The folders, their prefixes and what their answers share. Filled before
// serving starts, then only read, from any thread. Shared by counted
// references: serve's arguments and each server holding it.
class StaticSite {
public:
    // A new site holding one reference; null when out of memory.
    static StaticSite* create();
    void retain() { references_.fetch_add(1, std::memory_order_relaxed); }
    void release();  // the last reference closes the directories

    // Adds a folder: `prefix` ("/static"; a trailing "/" is dropped, "/"
    // alone is every path) and a directory descriptor it now owns. False
    // when out of memory (the descriptor is then closed).
    bool add(std::string_view prefix, int directory);
    // Whether a folder has this prefix already, trailing "/" aside.
    bool has_prefix(std::string_view prefix) const;

    struct Folder {
        std::string_view prefix;
        int directory;
    };
    // Longest prefix first, so that "/static/img" is tried before "/static".
    const Folder* begin() const { return folders_; }
    const Folder* end() const { return folders_ + count_; }
    size_t size() const { return count_; }

    int64_t max_age = -1;  // Cache-Control max-age, in seconds; -1: none
    const MediaTypeTable* media_types = nullptr;

private:
    StaticSite() = default;
    ~StaticSite();
    std::atomic<long> references_{1};
    Folder* folders_ = nullptr;
    size_t count_ = 0;
};

// One reference to a site, released with its owner.
class StaticSiteRef {
public:
    StaticSiteRef() = default;
    StaticSiteRef(const StaticSiteRef& o) : site_(o.site_) {
        if (site_) site_->retain();
    }
    StaticSiteRef& operator=(const StaticSiteRef& o) {
        if (o.site_) o.site_->retain();
        if (site_) site_->release();
        site_ = o.site_;
        return *this;
    }
    ~StaticSiteRef() {
        if (site_) site_->release();
    }
    static StaticSiteRef adopt(StaticSite* site) {  // takes over the creator's reference
        StaticSiteRef r;
        r.site_ = site;
        return r;
    }
    StaticSite* get() const { return site_; }
    StaticSite* operator->() const { return site_; }
    explicit operator bool() const { return site_ != nullptr; }

private:
    StaticSite* site_ = nullptr;
};

}  // namespace zelweb
