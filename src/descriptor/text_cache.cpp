#include "descriptor/text_cache.h"

namespace velum {

FileTexts& SharedFileTexts() {
  static FileTexts texts;  // (never freed: it lives as long as the extension)
  return texts;
}

}  // namespace velum
