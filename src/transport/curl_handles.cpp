// The share handles' caches and the locks that guard the one used from many threads.

#include "transport/curl_handles.hpp"

namespace velmora::detail {

SharedCaches::SharedCaches(Use use) : share_(curl_share_init()) {
    curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    if (use == Use::oneThread) {
        curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    } else {
        curl_share_setopt(share_.get(), CURLSHOPT_LOCKFUNC, &SharedCaches::lock);
        curl_share_setopt(share_.get(), CURLSHOPT_UNLOCKFUNC, &SharedCaches::unlock);
        curl_share_setopt(share_.get(), CURLSHOPT_USERDATA, this);
    }
}

void SharedCaches::lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<SharedCaches*>(user)->locks_[data].lock();
}

void SharedCaches::unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<SharedCaches*>(user)->locks_[data].unlock();
}

}  // namespace velmora::detail
