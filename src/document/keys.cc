#include "document/keys.h"

#include "core/utf8.h"

namespace tovik {
namespace {

bool has_zero_byte(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// A warren or den name as the encoders accept it: 1-256 bytes, no 00.
bool is_encodable_name(std::string_view name) {
  return !name.empty() && name.size() <= kMaxNameBytes && !has_zero_byte(name);
}

bool is_default_warren(std::string_view warren) { return warren == kDefaultWarren; }

// Splits text at every 00 byte.
std::vector<std::string_view> split_at_zero(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t zero = text.find('\0', start);
    if (zero == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, zero - start));
    start = zero + 1;
  }
}

}  // namespace

bool is_valid_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes || name == "..") return false;
  if (!is_valid_utf8(name)) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == '/' || c == 0x7F) return false;
    // U+0080-U+009F are encoded C2 80 - C2 9F.
    if (c == 0xC2 && i + 1 < name.size()) {
      const auto next = static_cast<unsigned char>(name[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return false;
    }
  }
  return true;
}

bool is_valid_collection_name(std::string_view name) {
  return !name.empty() && name.size() <= kMaxCollectionNameBytes && !has_zero_byte(name);
}

bool is_valid_document_id(std::string_view id) { return !id.empty() && !has_zero_byte(id); }

bool is_marker_key(std::string_view key) { return key.starts_with(kMarkerPrefix); }

std::expected<std::string, StoreError> marker_key(std::string_view warren,
                                                  std::optional<std::string_view> den) {
  if (!is_encodable_name(warren)) return std::unexpected(StoreError::Invalid);
  if (den && !is_encodable_name(*den)) return std::unexpected(StoreError::Invalid);
  std::string key(kMarkerPrefix);
  key += warren;
  if (den) {
    key.push_back('\0');
    key += *den;
  }
  return key;
}

std::expected<std::string, StoreError> collection_prefix(std::string_view warren,
                                                         std::string_view den) {
  if (!is_encodable_name(warren)) return std::unexpected(StoreError::Invalid);
  if (den.empty() || has_zero_byte(den)) return std::unexpected(StoreError::Invalid);
  std::string prefix;
  if (is_default_warren(warren)) {
    // Dens of the default warren are bounded only by the store's key length.
    prefix.reserve(den.size() + 1);
    prefix += den;
  } else {
    if (den.size() > kMaxNameBytes) return std::unexpected(StoreError::Invalid);
    prefix.reserve(kNamespacedPrefix.size() + warren.size() + den.size() + 2);
    prefix += kNamespacedPrefix;
    prefix += warren;
    prefix.push_back('\0');
    prefix += den;
  }
  prefix.push_back('\0');
  return prefix;
}

std::expected<std::string, StoreError> document_key(std::string_view warren, std::string_view den,
                                                    std::string_view id) {
  if (!is_valid_document_id(id)) return std::unexpected(StoreError::Invalid);
  auto key = collection_prefix(warren, den);
  if (!key) return std::unexpected(key.error());
  *key += id;
  return key;
}

std::expected<MarkerName, StoreError> decode_marker_key(std::string_view key,
                                                        std::string_view value) {
  if (!is_marker_key(key) || !value.empty()) return std::unexpected(StoreError::Corrupt);
  const std::string_view rest = key.substr(kMarkerPrefix.size());
  if (!is_valid_utf8(rest)) return std::unexpected(StoreError::Corrupt);
  const std::size_t zero = rest.find('\0');
  const std::string_view warren = rest.substr(0, zero);
  if (warren.empty() || warren.size() > kMaxNameBytes) return std::unexpected(StoreError::Corrupt);
  MarkerName name{std::string(warren), std::nullopt};
  if (zero != std::string_view::npos) {
    const std::string_view den = rest.substr(zero + 1);
    if (den.empty() || den.size() > kMaxNameBytes || has_zero_byte(den)) {
      return std::unexpected(StoreError::Corrupt);
    }
    name.den = std::string(den);
  }
  return name;
}

std::expected<DocumentName, StoreError> decode_document_key(std::string_view key) {
  if (!is_valid_utf8(key)) return std::unexpected(StoreError::Corrupt);
  const std::vector<std::string_view> parts = split_at_zero(key);
  if (!key.starts_with('\0')) {
    if (parts.size() != 2 || parts[0].empty() || parts[1].empty()) {
      return std::unexpected(StoreError::Corrupt);
    }
    return DocumentName{std::string(kDefaultWarren), std::string(parts[0]), std::string(parts[1])};
  }
  if (parts.size() != 5 || !parts[0].empty() || parts[1] != "W1") {
    return std::unexpected(StoreError::Corrupt);
  }
  const std::string_view warren = parts[2];
  const std::string_view den = parts[3];
  const std::string_view id = parts[4];
  if (warren.empty() || warren.size() > kMaxNameBytes || is_default_warren(warren) || den.empty() ||
      den.size() > kMaxNameBytes || id.empty()) {
    return std::unexpected(StoreError::Corrupt);
  }
  return DocumentName{std::string(warren), std::string(den), std::string(id)};
}

std::optional<std::string_view> document_id_of(std::string_view key, std::string& prefix) {
  if (!prefix.empty() && key.size() > prefix.size() && key.starts_with(prefix)) {
    const std::string_view id = key.substr(prefix.size());
    if (id.find('\0') == std::string_view::npos && is_valid_utf8(id)) return id;
  }
  auto name = decode_document_key(key);
  if (!name) return std::nullopt;
  const std::size_t id_at = key.size() - name->id.size();
  prefix.assign(key.substr(0, id_at));
  return key.substr(id_at);
}

}  // namespace tovik
