#pragma once
// Owners of libcurl's easy, multi and share handles, each cleaned up once by its last
// holder, and the caches a share handle keeps for the transfers of one driver.

#include <memory>
#include <mutex>

#include <curl/curl.h>

namespace velmora::detail {

struct EasyCleanup {
    void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct MultiCleanup {
    void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
struct ShareCleanup {
    void operator()(CURLSH* share) const noexcept { curl_share_cleanup(share); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using ShareHandle = std::unique_ptr<CURLSH, ShareCleanup>;

// Name lookups, and for a driver on one thread TLS sessions, kept across transfers. The I/O
// thread's needs no locks: only that thread uses it. The blocking driver's is used from many
// threads at once and holds name lookups only: resuming one TLS session from several
// threads at once is not something to rely on, and each of its lanes keeps its connection
// (and so its session) anyway.
class SharedCaches {
public:
    enum class Use { oneThread, anyThread };
    explicit SharedCaches(Use use);
    SharedCaches(const SharedCaches&) = delete;
    SharedCaches& operator=(const SharedCaches&) = delete;
    CURLSH* handle() const noexcept { return share_.get(); }

private:
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user);
    static void unlock(CURL*, curl_lock_data data, void* user);

    std::mutex locks_[CURL_LOCK_DATA_LAST];
    ShareHandle share_;
};

}  // namespace velmora::detail
