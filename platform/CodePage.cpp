#include "platform/CodePage.h"

#include <unicode/ubidi.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>

#include "platform/ThreadAnnotations.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace poshark::platform {

// One converter per page; UConverter carries state, so every use is under
// the page's mutex. Uses are short (a line or a character).
struct CodePage::Impl {
  Mutex mu;
  UConverter* cnv GUARDED_BY(mu) = nullptr;
};

namespace {

// Every page opened so far, by name; unknown names map to null so that they
// are not retried on every call. Never freed: pages must outlive threads
// that still convert at exit.
struct PageTable {
  Mutex mu;
  std::map<std::string, std::unique_ptr<CodePage>, std::less<>> pages GUARDED_BY(mu);
};

PageTable& Table() {
  static auto* table = new PageTable();
  return *table;
}

// A lead byte is one the converter holds back waiting for more.
void FindLeadBytes(UConverter* cnv, uint8_t* lead) {
  for (int b = 0; b < 256; ++b) {
    ucnv_reset(cnv);
    char src = static_cast<char>(b);
    const char* s = &src;
    UChar out[4];
    UChar* t = out;
    UErrorCode e = U_ZERO_ERROR;
    ucnv_toUnicode(cnv, &t, out + 4, &s, &src + 1, nullptr, false, &e);
    if (U_SUCCESS(e) && t == out && ucnv_toUCountPending(cnv, &e) > 0) lead[b] = 1;
  }
}

// Bit (trail) of row (lead) set when the converter takes lead+trail as one
// character (assigned or not).
std::vector<uint64_t> FindPairs(UConverter* cnv, const uint8_t* lead) {
  std::vector<uint64_t> pairs(256 * 4, 0);
  UConverterToUCallback old_cb;
  const void* old_ctx;
  UErrorCode e = U_ZERO_ERROR;
  ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, &old_cb, &old_ctx, &e);
  for (int b = 0; b < 256; ++b) {
    if (!lead[b]) continue;
    for (int trail = 0; trail < 256; ++trail) {
      ucnv_reset(cnv);
      char src[2] = {static_cast<char>(b), static_cast<char>(trail)};
      const char* s = src;
      UChar out[4];
      UChar* t = out;
      UErrorCode ce = U_ZERO_ERROR;
      ucnv_toUnicode(cnv, &t, out + 4, &s, src + 2, nullptr, true, &ce);
      bool one_char = false;
      if (U_SUCCESS(ce)) {
        one_char = (t - out == 1) || (t - out == 2 && U16_IS_LEAD(out[0]));
      } else if (ce == U_INVALID_CHAR_FOUND || ce == U_ILLEGAL_CHAR_FOUND) {
        char bad[8];
        int8_t len = sizeof bad;
        UErrorCode ge = U_ZERO_ERROR;
        ucnv_getInvalidChars(cnv, bad, &len, &ge);
        one_char = U_SUCCESS(ge) && len == 2;
      }
      if (one_char) pairs[b * 4 + trail / 64] |= uint64_t{1} << (trail % 64);
    }
  }
  e = U_ZERO_ERROR;
  ucnv_setToUCallBack(cnv, old_cb, old_ctx, nullptr, nullptr, &e);
  return pairs;
}

}  // namespace

CodePage::CodePage(std::string name) : name_(std::move(name)), impl_(std::make_unique<Impl>()) {}

CodePage::~CodePage() {
  if (!impl_) return;
  MutexLock lock(impl_->mu);
  if (impl_->cnv) ucnv_close(impl_->cnv);
}

const CodePage* CodePage::Get(const std::string& name) { return Lookup(name); }

const CodePage* CodePage::Lookup(std::string_view name) {
  PageTable& table = Table();
  MutexLock lock(table.mu);
  auto it = table.pages.find(name);
  if (it != table.pages.end()) return it->second.get();
  std::unique_ptr<CodePage> page(new CodePage(std::string(name)));
  if (!page->Open()) page.reset();
  return table.pages.emplace(std::string(name), std::move(page)).first->second.get();
}

const CodePage* CodePage::Ansi() {
  // The environment is read on every call so that a test (or a host) may
  // switch pages.
  const char* env = std::getenv("POSHARK_CODEPAGE");
  const CodePage* page = (env && *env) ? Lookup(env) : nullptr;
  return page ? page : Lookup(kDefaultCodePage);
}

bool CodePage::Open() {
  UErrorCode err = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open(name_.c_str(), &err);
  if (U_FAILURE(err) || !cnv) return false;
  {
    MutexLock lock(impl_->mu);
    impl_->cnv = cnv;
  }
  // Windows' conversions use best-fit mappings and '?' for what the page
  // lacks; ICU's own substitute (0x1A for most pages) would vanish from a
  // printed line.
  ucnv_setFallback(cnv, true);
  {
    UChar question = u'?';
    char out[8];
    UErrorCode e = U_ZERO_ERROR;
    int32_t n = ucnv_fromUChars(cnv, out, sizeof out, &question, 1, &e);
    if (U_SUCCESS(e) && n == 1 && out[0] == '?') {
      e = U_ZERO_ERROR;
      ucnv_setSubstChars(cnv, "?", 1, &e);
    }
  }
  max_char_size_ = ucnv_getMaxCharSize(cnv);
  if (max_char_size_ < 1) max_char_size_ = 1;
  if (max_char_size_ != 2 || ucnv_getType(cnv) == UCNV_UTF16_BigEndian ||
      ucnv_getType(cnv) == UCNV_UTF16_LittleEndian)
    return true;

  // Double-byte page: lead bytes and the pairs that form one character.
  FindLeadBytes(cnv, lead_);
  pair_ok_ = FindPairs(cnv, lead_);
  ucnv_reset(cnv);
  return true;
}

int CodePage::FromUnicode(char16_t wChar, unsigned char* pOut, int nOutSize) const {
  if (wChar == 0 || !pOut || nOutSize <= 0) return 0;
  char buf[16];
  UChar unit = wChar;
  UErrorCode err = U_ZERO_ERROR;
  int32_t n;
  {
    MutexLock lock(impl_->mu);
    n = ucnv_fromUChars(impl_->cnv, buf, sizeof buf, &unit, 1, &err);
  }
  if (U_FAILURE(err) || n <= 0 || n > nOutSize) return 0;
  std::memcpy(pOut, buf, static_cast<std::size_t>(n));
  return n;
}

std::string CodePage::FromUnicode(std::u16string_view text) const {
  std::string out;
  if (text.empty()) return out;
  if (text.size() > static_cast<std::size_t>(INT32_MAX / 4)) return out;
  out.resize(text.size() * static_cast<std::size_t>(max_char_size_) + 16);
  UErrorCode err = U_ZERO_ERROR;
  int32_t n;
  {
    MutexLock lock(impl_->mu);
    n = ucnv_fromUChars(impl_->cnv, out.data(), static_cast<int32_t>(out.size()),
                        reinterpret_cast<const UChar*>(text.data()),
                        static_cast<int32_t>(text.size()), &err);
  }
  if (U_FAILURE(err) && err != U_STRING_NOT_TERMINATED_WARNING) return std::string();
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::u16string CodePage::ToUnicode(std::string_view bytes) const {
  std::u16string out;
  if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT32_MAX / 2)) return out;
  // A page byte gives at most two UTF-16 units (a supplementary character
  // takes at least two bytes in every page but UTF-32-like ones).
  out.resize(bytes.size() * 2 + 2);
  UErrorCode err = U_ZERO_ERROR;
  int32_t n;
  {
    MutexLock lock(impl_->mu);
    n = ucnv_toUChars(impl_->cnv, reinterpret_cast<UChar*>(out.data()),
                      static_cast<int32_t>(out.size()), bytes.data(),
                      static_cast<int32_t>(bytes.size()), &err);
  }
  if (U_FAILURE(err) && err != U_STRING_NOT_TERMINATED_WARNING) return std::u16string();
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string CodePage::ToUtf8(std::string_view bytes) const {
  std::u16string wide = ToUnicode(bytes);
  std::string out;
  if (wide.empty()) return out;
  out.resize(wide.size() * 3 + 1);
  int32_t n = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &n,
                     reinterpret_cast<const UChar*>(wide.data()), static_cast<int32_t>(wide.size()),
                     0xFFFD, nullptr, &err);
  if (U_FAILURE(err) && err != U_STRING_NOT_TERMINATED_WARNING) return std::string();
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::size_t CodePage::CharLength(std::string_view text, std::size_t pos) const {
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  if (!lead_[lead] || pos + 1 >= text.size()) return 1;
  unsigned char trail = static_cast<unsigned char>(text[pos + 1]);
  return (pair_ok_[lead * 4 + trail / 64] >> (trail % 64)) & 1 ? 2 : 1;
}

void CodePage::CharacterStarts(std::string_view text, std::vector<uint8_t>* pStarts) const {
  pStarts->assign(text.size(), 1);
  if (max_char_size_ == 1 || text.empty()) return;
  if (!pair_ok_.empty()) {
    for (std::size_t pos = 0; pos < text.size();) {
      std::size_t len = CharLength(text, pos);
      for (std::size_t k = 1; k < len; ++k) (*pStarts)[pos + k] = 0;
      pos += len;
    }
    return;
  }
  // Pages with longer characters (UTF-8, GB 18030, stateful pages): let the
  // converter walk the text character by character.
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return;
  MutexLock lock(impl_->mu);
  ucnv_reset(impl_->cnv);
  const char* begin = text.data();
  const char* end = begin + text.size();
  const char* s = begin;
  while (s < end) {
    const char* before = s;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_getNextUChar(impl_->cnv, &s, end, &err);
    if (s <= before) s = before + 1;  // never stall on a converter error
    if (s > end) s = end;
    for (const char* p = before + 1; p < s; ++p)
      (*pStarts)[static_cast<std::size_t>(p - begin)] = 0;
    if (U_FAILURE(err)) ucnv_reset(impl_->cnv);
  }
  ucnv_reset(impl_->cnv);
}

bool CodePage::IsTrailingByte(std::string_view line, std::size_t pos) const {
  if (pos == 0 || pos >= line.size() || max_char_size_ == 1) return false;
  if (!pair_ok_.empty()) {
    std::size_t p = 0;
    while (p < pos) p += CharLength(line, p);
    return p != pos;
  }
  std::vector<uint8_t> starts;
  CharacterStarts(line.substr(0, pos + 1), &starts);
  return starts[pos] == 0;
}

bool ToDisplayOrder(std::string_view key, uint32_t nCharSet, std::string* pOut) {
  const char* page_name = nullptr;
  if (nCharSet == kHebrewCharset)
    page_name = "windows-1255";
  else if (nCharSet == kArabicCharset)
    page_name = "windows-1256";
  if (!page_name || key.empty() || !pOut || key.size() > 0xFFFF) return false;
  const CodePage* page = CodePage::Get(page_name);
  if (!page) return false;

  // Both pages are single-byte: byte i is UTF-16 unit i, so the visual map
  // of the units is the order of the bytes.
  std::u16string text = page->ToUnicode(key);
  if (text.size() != key.size()) return false;

  UErrorCode err = U_ZERO_ERROR;
  UBiDi* bidi = ubidi_openSized(static_cast<int32_t>(text.size()), 0, &err);
  if (U_FAILURE(err) || !bidi) return false;
  std::vector<int32_t> map(text.size());
  ubidi_setPara(bidi, reinterpret_cast<const UChar*>(text.data()),
                static_cast<int32_t>(text.size()), UBIDI_LTR, nullptr, &err);
  // Without inserted marks or removed controls the map has one entry per unit.
  if (U_SUCCESS(err) && ubidi_getResultLength(bidi) == static_cast<int32_t>(text.size()))
    ubidi_getVisualMap(bidi, map.data(), &err);
  else if (U_SUCCESS(err))
    err = U_INTERNAL_PROGRAM_ERROR;
  ubidi_close(bidi);
  if (U_FAILURE(err)) return false;

  std::string out(key.size(), '\0');
  std::vector<uint8_t> used(key.size(), 0);
  for (std::size_t v = 0; v < map.size(); ++v) {
    int32_t logical = map[v];
    if (logical < 0 || static_cast<std::size_t>(logical) >= key.size() || used[logical])
      return false;
    used[logical] = 1;
    out[v] = key[static_cast<std::size_t>(logical)];
  }
  *pOut = std::move(out);
  return true;
}

}  // namespace poshark::platform
