// Helper process for the settings store tests.
//   user_defaults_writer FILE once   stores a fixed set of values and exits
//   user_defaults_writer FILE loop   rewrites two keys forever, writing one byte to stdout after
//                                    each pair: "a" = n, then "b" = {gen: n, items: n copies of n}
#include <unistd.h>

#include <cstring>

#include "platform/user_defaults.h"

int main(int argc, char** argv) {
  using namespace kivo;
  if (argc != 3) return 2;
  UserDefaults store(argv[1]);
  if (std::strcmp(argv[2], "once") == 0) {
    store.set("text", "written by another process");
    store.set("date", PropertyDate(std::chrono::seconds(1740906303)));
    store.set("dict", PropertyDictionary{{"tid", "I20250302090503007"}, {"n", 7}});
    return 0;
  }
  for (int64_t n = 1;; ++n) {
    store.set("a", n);
    PropertyArray items(static_cast<size_t>(n % 64), PropertyList(n));
    store.set("b", PropertyDictionary{{"gen", n}, {"items", std::move(items)}});
    if (::write(1, "+", 1) != 1) return 1;
  }
}
