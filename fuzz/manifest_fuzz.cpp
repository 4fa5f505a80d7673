// The manifest and stable-list parsers over arbitrary downloaded text. The
// first input byte picks the document; the rest is its text. Checks that
// every stored text field stays terminated within its capacity, since the
// action prints them and pastes the file name into a request path.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "action-auto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const bool stable = data[0] & 1;
  ++data;
  --size;
  // Exact-size copy with the terminator the download stores; parsed in place.
  char *text = static_cast<char *>(std::malloc(size + 1));
  if (!text) return 0;
  std::memcpy(text, data, size);
  text[size] = 0;

  if (stable) {
    auto_ufw_stable_list *list = auto_parse_ufw_stable_list(text);
    for (auto_ufw_stable_list *e = list; e; e = e->next) {
      // Read every field so a use of released or uninitialised memory shows.
      volatile uint32_t sink = e->hub_code + e->version;
      (void)sink;
    }
    auto_ufw_stable_list_free(list);
  } else {
    auto_ufw_manifest *list = auto_parse_ufw_manifest(text);
    for (auto_ufw_manifest *e = list; e; e = e->next) {
      if (!std::memchr(e->file_name, 0, sizeof e->file_name)) std::abort();
      if (!std::memchr(e->label, 0, sizeof e->label)) std::abort();
      volatile int64_t sink = int64_t{e->version} + e->size;
      (void)sink;
    }
    auto_ufw_manifest_free(list);
  }
  std::free(text);
  return 0;
}
