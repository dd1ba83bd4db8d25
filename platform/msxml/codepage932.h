// Japanese documents as Windows reads them: the labels "Shift_JIS", "sjis",
// "windows-31j" and their kin name code page 932 (Shift_JIS with the NEC and
// IBM extensions, 0x5C a backslash and 0x7E a tilde), and documents are
// written so that a code-page-932 reader and a strict Shift_JIS reader both
// get every character back.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qel::msxml {

// True for the encoding labels read as code page 932 (compared without
// regard to case).
bool IsCodePage932Label(std::string_view label);

// Streaming decoder from code page 932 to UTF-8. Bytes that form no
// character stop it for good; a lead byte at the end of a chunk waits for
// the next one, and one still waiting at the end of the input is an error.
class CodePage932Decoder {
 public:
  // Decodes `bytes` and appends UTF-8 to `out`. False at the first byte
  // sequence that has no character; what came before it is appended.
  bool Decode(std::string_view bytes, std::string* out);
  // False when the input ended inside a character.
  bool Finish() const { return !m_haveLead && !m_failed; }
  bool Failed() const { return m_failed; }
  // Offset in the whole input of the first byte that could not be read.
  std::size_t ErrorOffset() const { return m_errorOffset; }

 private:
  bool m_haveLead = false;
  unsigned char m_lead = 0;
  bool m_failed = false;
  std::size_t m_consumed = 0;
  std::size_t m_errorOffset = 0;
};

// Registers with libxml2 the encoding handler "CP932" under every label of
// IsCodePage932Label. Reading follows code page 932; writing gives bytes only
// for characters that both kinds of reader decode alike, so the serialiser
// writes every other character (\ ~ ¥ ‾, the NEC and IBM extensions, ...)
// as a character reference. Call once, before any document is parsed.
void RegisterCodePage932Handler();

}  // namespace qel::msxml
