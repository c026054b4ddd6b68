#include "support/thread.hpp"

#include <pthread.h>

namespace ambrel::support {

std::string thread_name_for(std::string_view name) {
    constexpr std::size_t kMaxBytes = 15;
    if (name.size() <= kMaxBytes) return std::string(name);
    std::size_t cut = kMaxBytes;
    // Step back over continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return std::string(name.substr(0, cut));
}

void name_current_thread(std::string_view name) {
    std::string cut = thread_name_for(name);
    (void)pthread_setname_np(pthread_self(), cut.c_str());
}

}  // namespace ambrel::support
