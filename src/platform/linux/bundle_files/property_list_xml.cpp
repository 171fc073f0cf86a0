// The XML list: expat reads the XML, whatever its encoding, and the tree is built from what it
// reports with the library's nodes. What is kept here is the platform's own: which elements a list
// has and where, how an <integer> reads, the bounds on values and nesting, and the reasons a
// refusal gives.
#include <expat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "platform/linux/bundle_files/property_list.h"
#include "platform/linux/bundle_files/property_list_checks.h"
#include "platform/linux/bundle_files/text_encoding.h"

namespace platform::linux_impl {
namespace {

// What the parser says of a list it would not read; and of one whose values stand where a list
// has no place for them.
const char* const notAList = "not a property list (the parser refused it)";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool isXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isXmlSpace(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isXmlSpace(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool isOnlySpace(std::string_view text) {
  return trimmed(text).empty();
}

// A piece of the list's text for a reason: text a message can carry even where the list's is
// not, and at most 40 bytes of it, cut where a character begins.
std::string excerpt(std::string_view text) {
  std::string piece(trimmed(text));
  if (!isValidUtf8(piece)) {
    for (char& c : piece) {
      c = static_cast<uint8_t>(c) < 0x80 ? c : '?';
    }
  }
  if (piece.size() <= 40) {
    return piece;
  }
  size_t cut = 40;
  while ((static_cast<uint8_t>(piece[cut]) & 0xC0) == 0x80) {
    --cut;  // valid UTF-8: a character's first byte is at most three back
  }
  return piece.substr(0, cut) + "...";
}

int digitValue(char c, int base) {
  int value = 99;
  if (c >= '0' && c <= '9') {
    value = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    value = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    value = c - 'A' + 10;
  }
  return value < base ? value : -1;
}

// ---- Integers, as the platform reads an <integer> element's text ----

enum class IntegerForm { Malformed, OutOfRange, InRange };

// White space around, an optional sign, then decimal digits or "0x" and hexadecimal digits.
IntegerForm readIntegerText(std::string_view text, int64_t& value) {
  text = trimmed(text);
  bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) {
    return IntegerForm::Malformed;
  }
  uint64_t magnitude = 0;
  bool overflow = false;
  for (char c : text) {
    int digit = digitValue(c, base);
    if (digit < 0) {
      return IntegerForm::Malformed;
    }
    auto d = static_cast<uint64_t>(digit);
    overflow = overflow || magnitude > (std::numeric_limits<uint64_t>::max() - d) / base;
    magnitude = magnitude * static_cast<uint64_t>(base) + d;
  }
  constexpr uint64_t maxPositive = std::numeric_limits<int64_t>::max();
  if (overflow || magnitude > maxPositive + (negative ? 1 : 0)) {
    return IntegerForm::OutOfRange;
  }
  value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return IntegerForm::InRange;
}

// ---- Encodings expat does not know itself ----

// How expat reads an encoding of the C library's converter: each byte a character of its own, or
// the first of a sequence whose length that byte decides (Shift_JIS, EUC-JP).
struct ConvertedEncoding {
  explicit ConvertedEncoding(const std::string& name) : decoder(name) {}
  CharacterDecoder decoder;
  std::array<size_t, 256> length{};  // of the sequence each byte begins; 0 where none
};

// expat's code for a byte: the character it is alone, -1 for none, or minus the length of the
// sequences it begins, which expat takes to be one length: the first that makes a character. A
// sequence of another length from the same byte (GB18030's of four bytes) then reads as invalid
// text, and a byte that begins no character within four (a shift of ISO-2022-JP) as none.
int describeByte(ConvertedEncoding& encoding, uint8_t byte) {
  constexpr size_t longestSequence = 4;  // what expat takes
  std::string sequence(1, static_cast<char>(byte));
  char32_t c = 0;
  auto result = encoding.decoder.decode(sequence, c);
  if (result == CharacterDecoder::Result::Character) {
    return c <= 0xFFFF ? static_cast<int>(c) : -1;  // expat takes one byte to a 16-bit unit
  }
  while (result == CharacterDecoder::Result::Incomplete && sequence.size() < longestSequence) {
    std::optional<char> longer;
    for (int next = 0; next < 256; ++next) {
      sequence.push_back(static_cast<char>(next));
      result = encoding.decoder.decode(sequence, c);
      sequence.pop_back();
      if (result == CharacterDecoder::Result::Character) {
        encoding.length[byte] = sequence.size() + 1;
        return -static_cast<int>(sequence.size() + 1);
      }
      if (result == CharacterDecoder::Result::Incomplete && !longer) {
        longer = static_cast<char>(next);
      }
    }
    result = longer ? CharacterDecoder::Result::Incomplete : CharacterDecoder::Result::Invalid;
    sequence.push_back(longer.value_or('\0'));
  }
  return -1;
}

int XMLCALL convertSequence(void* data, const char* bytes) {
  auto& encoding = *static_cast<ConvertedEncoding*>(data);
  char32_t c = 0;
  std::string_view sequence(bytes, encoding.length[static_cast<uint8_t>(bytes[0])]);
  bool whole = encoding.decoder.decode(sequence, c) == CharacterDecoder::Result::Character;
  return whole && c <= 0xFFFF ? static_cast<int>(c) : -1;
}

void XMLCALL releaseEncoding(void* data) {
  delete static_cast<ConvertedEncoding*>(data);
}

// ---- The XML ----

enum class ElementKind {
  List,       // <plist>
  Container,  // <dict>, <array>
  Text,       // <key>, <string>, <integer>, <real>, <date>, <data>: character data only
  Empty,      // <true/>, <false/>
  Unknown,
};

ElementKind kindOf(std::string_view name) {
  if (name == "plist") {
    return ElementKind::List;
  }
  if (name == "dict" || name == "array") {
    return ElementKind::Container;
  }
  if (name == "key" || name == "string" || name == "integer" || name == "real" || name == "date" ||
      name == "data") {
    return ElementKind::Text;
  }
  if (name == "true" || name == "false") {
    return ElementKind::Empty;
  }
  return ElementKind::Unknown;
}

// Whether `c` may stand in an XML document.
bool isXmlCharacter(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The encoding a byte-order mark names: it decides, whatever the declaration says.
const char* markedEncoding(std::string_view bytes) {
  if (startsWith(bytes, "\xEF\xBB\xBF")) {
    return "UTF-8";
  }
  if (startsWith(bytes, "\xFF\xFE")) {
    return "UTF-16LE";
  }
  return startsWith(bytes, "\xFE\xFF") ? "UTF-16BE" : nullptr;
}

// The XML declaration at the start of `text` and the encoding it names, for a reason when expat
// refused the declaration.
struct Declaration {
  std::string_view text;
  std::optional<std::string_view> encoding;
};

std::optional<Declaration> declarationOf(std::string_view text) {
  if (!startsWith(text, "<?xml") || text.size() < 6 || !isXmlSpace(text[5])) {
    return std::nullopt;
  }
  Declaration declaration{text.substr(0, text.find("?>")), std::nullopt};
  size_t name = declaration.text.find("encoding");
  if (name == std::string_view::npos) {
    return declaration;
  }
  std::string_view rest = declaration.text.substr(name + 8);
  while (!rest.empty() && (isXmlSpace(rest.front()) || rest.front() == '=')) {
    rest.remove_prefix(1);
  }
  size_t close = rest.empty() ? std::string_view::npos : rest.find(rest.front(), 1);
  if (close != std::string_view::npos && (rest.front() == '"' || rest.front() == '\'')) {
    declaration.encoding = rest.substr(1, close - 1);
  }
  return declaration;
}

// Reads the list with expat, in one pass whatever its references, comments and CDATA sections,
// and builds its tree as it goes: the parser's own XML reader resolves each reference by moving
// the rest of the text, a cost that grows with the square of their number, and would read the
// text a second time at every start. Values are bounded as in a binary list.
class XmlReader {
 public:
  // `encoding`, when given, is taken whatever the list declares.
  XmlReader(std::string_view bytes, std::string& why, const char* encoding)
      : bytes_(bytes),
        why_(why),
        parser_(XML_ParserCreate(encoding)),
        encoding_(encoding ? encoding : "UTF-8"),
        encodingIsGiven_(encoding != nullptr) {}

  PlistPtr run() {
    if (!parser_) {
      why_ = "no memory for the XML parser";
      return nullptr;
    }
    XML_Parser parser = parser_.get();
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, onStart, onEnd);
    XML_SetCharacterDataHandler(parser, onText);
    XML_SetSkippedEntityHandler(parser, onSkippedEntity);
    XML_SetEntityDeclHandler(parser, onEntityDeclaration);
    XML_SetXmlDeclHandler(parser, onDeclaration);
    XML_SetUnknownEncodingHandler(parser, onUnknownEncoding, this);
    if (bytes_.size() > static_cast<size_t>(INT_MAX)) {
      why_ = "larger than the XML parser takes";
      return nullptr;
    }
    if (XML_Parse(parser, bytes_.data(), static_cast<int>(bytes_.size()), XML_TRUE) !=
        XML_STATUS_OK) {
      if (!stopped_) {
        stoppedAt_ = currentPosition();
        why_ = reasonFor(XML_GetErrorCode(parser));
      }
      return nullptr;
    }
    return std::move(root_);
  }

  // Where the reader stopped in a list it refused: line and column from 1; none when the refusal
  // is of the whole list rather than of a place in it.
  TextPosition stoppedAt() const { return stoppedAt_; }

  // Whether the list was refused for declaring an encoding its bytes can't be in: one that does
  // not write '<' as the byte expat read it as (UTF-16, UTF-32, EBCDIC), in a declaration read a
  // byte a character. Such a name is left over from a conversion, and the bytes are read as UTF-8.
  bool declaresAnEncodingItIsNotIn() const { return notInDeclaredEncoding_; }

 private:
  struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
  };

  static XmlReader& self(void* data) { return *static_cast<XmlReader*>(data); }

  // Called from expat's handlers, where its position is that of the event refused.
  void refuse(std::string reason) {
    if (!stopped_) {
      stopped_ = true;
      stoppedAt_ = currentPosition();
      why_ = std::move(reason);
      XML_StopParser(parser_.get(), XML_FALSE);
    }
  }

  // ---- What expat reports ----

  static void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** /*attributes*/) {
    self(data).openElement(name);
  }

  static void XMLCALL onEnd(void* data, const XML_Char* /*name*/) { self(data).closeElement(); }

  static void XMLCALL onText(void* data, const XML_Char* text, int length) {
    self(data).characterData(std::string_view(text, static_cast<size_t>(length)));
  }

  static void XMLCALL onSkippedEntity(void* data, const XML_Char* name, int isParameterEntity) {
    self(data).refuse(std::string("an entity a property list can't define: ") +
                      (isParameterEntity ? "%" : "&") + excerpt(name) + ";");
  }

  // An entity declared in the document type is refused before any reference can expand it.
  static void XMLCALL onEntityDeclaration(void* data, const XML_Char* name, int, const XML_Char*,
                                          int, const XML_Char*, const XML_Char*, const XML_Char*,
                                          const XML_Char*) {
    self(data).refuse("a document type that declares an entity: " + excerpt(name));
  }

  static void XMLCALL onDeclaration(void* data, const XML_Char*, const XML_Char* encoding, int) {
    XmlReader& reader = self(data);
    if (encoding && !reader.encodingIsGiven_) {
      reader.encoding_ = encoding;
    }
  }

  static int XMLCALL onUnknownEncoding(void* data, const XML_Char* name, XML_Encoding* info) {
    XmlReader& reader = self(data);
    auto encoding = std::make_unique<ConvertedEncoding>(name);
    if (!encoding->decoder.knowsEncoding()) {
      // The parser is not stopped from here: the answer stops it.
      reader.stopped_ = true;
      reader.why_ = "encoding " + excerpt(name) + " can't be converted";
      return XML_STATUS_ERROR;
    }
    for (int byte = 0; byte < 256; ++byte) {
      info->map[byte] = describeByte(*encoding, static_cast<uint8_t>(byte));
    }
    if (info->map[static_cast<uint8_t>('<')] != '<') {
      reader.notInDeclaredEncoding_ = true;
      return XML_STATUS_ERROR;
    }
    info->convert = convertSequence;
    info->release = releaseEncoding;
    info->data = encoding.release();
    return XML_STATUS_OK;
  }

  // ---- The list ----

  void openElement(std::string_view element) {
    if (stopped_) {
      return;
    }
    if (!textElement_.empty()) {
      return refuse("markup inside <" + textElement_ + ">");
    }
    if (!open_.empty() && open_.back().kind == ElementKind::Empty) {
      return refuse("<" + excerpt(element) + "> inside <" + open_.back().name + ">");
    }
    ElementKind kind = kindOf(element);
    if (kind != ElementKind::List && ++values_ > maxPropertyListNodes) {
      return refuse("more than " + std::to_string(maxPropertyListNodes) + " values");
    }
    plist_t node = nullptr;
    switch (kind) {
      case ElementKind::Unknown:
        return refuse("an element a property list does not have: <" + excerpt(element) + ">");
      case ElementKind::List:
        if (!open_.empty()) {
          return refuse("a <plist> inside another element");
        }
        break;
      case ElementKind::Container:
        if (++containers_ > maxPropertyListNesting) {
          return refuse("nested deeper than " + std::to_string(maxPropertyListNesting) +
                        " dictionaries and arrays");
        }
        node = element == "dict" ? plist_new_dict() : plist_new_array();
        break;
      case ElementKind::Text:
        textElement_ = element;
        text_.clear();
        return;
      case ElementKind::Empty:
        node = plist_new_bool(element == "true");
        break;
    }
    if (node && !addValue(node)) {
      return;
    }
    open_.push_back(OpenElement{std::string(element), kind, node, std::nullopt});
  }

  void closeElement() {
    if (stopped_) {
      return;
    }
    if (!textElement_.empty()) {
      return closeTextElement();
    }
    OpenElement closed = std::move(open_.back());
    open_.pop_back();
    containers_ -= closed.kind == ElementKind::Container ? 1 : 0;
    if (closed.key) {
      refuse("a <key> without its value: " + excerpt(*closed.key));
    } else if (closed.kind == ElementKind::List && !root_) {
      refuse("a <plist> that holds no value");
    }
  }

  void characterData(std::string_view text) {
    if (stopped_) {
      return;
    }
    if (!textElement_.empty()) {
      text_.append(text);
    } else if (!isOnlySpace(text)) {
      refuse("text outside a value: " + excerpt(text));
    }
  }

  // The value of the text element whose text has been gathered, or the key it is.
  void closeTextElement() {
    std::string element;
    element.swap(textElement_);
    if (element == "key") {
      OpenElement* dictionary = open_.empty() ? nullptr : &open_.back();
      if (!dictionary || !isDictionary(dictionary->node) || dictionary->key) {
        return refuse("a <key> where a value belongs: " + excerpt(text_));
      }
      dictionary->key = std::move(text_);
      return;
    }
    plist_t node = valueOf(element);
    if (node) {
      addValue(node);
    }
  }

  // A text element's value: an integer as the platform reads it, or false when no 64-bit reader
  // could hold it; a date or data as the parser reads it.
  plist_t valueOf(const std::string& element) {
    if (element == "string") {
      return plist_new_string(text_.c_str());  // expat leaves no NUL in it
    }
    if (element == "integer") {
      int64_t value = 0;
      switch (readIntegerText(text_, value)) {
        case IntegerForm::Malformed:
          refuse("an <integer> that is not a decimal or 0x hexadecimal number: " + excerpt(text_));
          return nullptr;
        case IntegerForm::OutOfRange:
          return plist_new_bool(0);
        case IntegerForm::InRange:
          return plist_new_uint(static_cast<uint64_t>(value));  // two's complement, as the parser
      }
    }
    if (element == "real") {
      return plist_new_real(std::strtod(text_.c_str(), nullptr));  // as the parser reads it
    }
    if (text_.find_first_of("<&") != std::string::npos) {
      refuse("a <" + element + "> that holds markup: " + excerpt(text_));
      return nullptr;
    }
    std::string list = "<plist><" + element + ">" + text_ + "</" + element + "></plist>";
    plist_t node = nullptr;
    plist_from_xml(list.data(), static_cast<uint32_t>(list.size()), &node);
    if (!node) {
      refuse(notAList);
    }
    return node;
  }

  static bool isDictionary(plist_t node) { return node && plist_get_node_type(node) == PLIST_DICT; }

  // Puts `node` where the list has come to: the root, the next item of an array, or the value of
  // a dictionary's key. A value in a dictionary without its key is refused.
  bool addValue(plist_t node) {
    PlistPtr value(node);
    OpenElement* parent = open_.empty() ? nullptr : &open_.back();
    if (!parent || parent->kind == ElementKind::List) {
      // The first value is the list; the parser passes over any after it, and so does the pack.
      (root_ ? passedOver_ : root_) = std::move(value);
    } else if (!isDictionary(parent->node)) {
      plist_array_append_item(parent->node, value.release());
    } else if (parent->key) {
      plist_dict_set_item(parent->node, parent->key->c_str(), value.release());
      parent->key.reset();
    } else {
      refuse(notAList);  // a value in a dictionary without its key
      return false;
    }
    return true;
  }

  // ---- Why expat refused the list ----

  TextPosition currentPosition() const {
    return {static_cast<unsigned long>(XML_GetCurrentLineNumber(parser_.get())),
            static_cast<unsigned long>(XML_GetCurrentColumnNumber(parser_.get())) + 1};
  }

  // The list's bytes from where expat stopped.
  std::optional<std::string_view> textAtError() const {
    XML_Index at = XML_GetCurrentByteIndex(parser_.get());
    if (at < 0 || static_cast<size_t>(at) >= bytes_.size()) {
      return std::nullopt;
    }
    return bytes_.substr(static_cast<size_t>(at));
  }

  // Whether markup can be read from the bytes a byte a character: not in UTF-16, known by its
  // byte-order mark or by the NUL half of its first character.
  bool isReadByByte() const {
    return !startsWith(bytes_, "\xFF\xFE") && !startsWith(bytes_, "\xFE\xFF") &&
           (bytes_.size() < 2 || (bytes_[0] != '\0' && bytes_[1] != '\0'));
  }

  // What runs from `text` up to the first of `ends`.
  static std::string_view upTo(std::string_view text, std::string_view ends) {
    return text.substr(0, text.find_first_of(ends));
  }

  std::string reasonFor(XML_Error error) {
    if (error == XML_ERROR_INCORRECT_ENCODING) {
      notInDeclaredEncoding_ = !encodingIsGiven_;
    }
    auto text = textAtError();
    if (auto reason = text ? reasonAt(error, *text) : std::nullopt) {
      return *reason;
    }
    if (error == XML_ERROR_UNKNOWN_ENCODING) {
      return "encoding " + excerpt(encoding_) + " does not write XML's markup as ASCII does";
    }
    return "not well-formed XML at line " +
           std::to_string(XML_GetCurrentLineNumber(parser_.get())) + ", column " +
           std::to_string(XML_GetCurrentColumnNumber(parser_.get()) + 1) + ": " +
           XML_ErrorString(error);
  }

  // The reason a refusal names with the text where it happened, where there is one.
  std::optional<std::string> reasonAt(XML_Error error, std::string_view text) {
    bool characterError = error == XML_ERROR_INVALID_TOKEN || error == XML_ERROR_PARTIAL_CHAR ||
                          error == XML_ERROR_XML_DECL;
    if (characterError) {
      return reasonForCharacterAt(text);
    }
    if (!isReadByByte()) {
      return std::nullopt;
    }
    switch (error) {
      case XML_ERROR_UNDEFINED_ENTITY:
        return "an entity a property list can't define: &" + excerpt(upTo(text.substr(1), ";")) +
               ";";
      case XML_ERROR_BAD_CHAR_REF: {
        std::string_view reference = upTo(text.substr(1), ";");
        std::string_view digits = reference.substr(reference.starts_with("#x") ? 2 : 1);
        bool nul = digits.find_first_not_of('0') == std::string_view::npos;
        return std::string(nul ? "a character reference to NUL: &"
                               : "a character reference to no XML character: &") +
               excerpt(reference) + ";";
      }
      case XML_ERROR_TAG_MISMATCH:
        if (textElement_.empty() && open_.empty()) {
          return std::nullopt;
        }
        return "</" + excerpt(upTo(text, " \t\r\n>")) + "> where <" +
               (!textElement_.empty() ? textElement_ : open_.back().name) + "> is open";
      case XML_ERROR_SYNTAX:
      case XML_ERROR_JUNK_AFTER_DOC_ELEMENT:
        if (!text.starts_with("<") && !isXmlSpace(text.front())) {
          return "text outside a value: " + excerpt(upTo(text, "<"));
        }
        return std::nullopt;
      default:
        return std::nullopt;
    }
  }

  // A character that is not one, or no place for it.
  std::optional<std::string> reasonForCharacterAt(std::string_view text) {
    std::string_view list = bytes_.substr(startsWith(bytes_, "\xEF\xBB\xBF") ? 3 : 0);
    auto declaration = isReadByByte() ? declarationOf(list) : std::nullopt;
    // Where expat stopped, up to and with the quote that ends what lies there.
    auto stoppedIn = [&text](std::string_view part) {
      return text.data() >= part.data() && text.data() <= part.data() + part.size();
    };
    if (declaration && declaration->encoding && stoppedIn(*declaration->encoding)) {
      return "an encoding name that names none: " + excerpt(*declaration->encoding);
    }
    if (declaration && stoppedIn(declaration->text)) {
      return "a malformed XML declaration: " + excerpt(declaration->text);
    }
    char32_t c = 0;
    if (!CharacterDecoder(encoding_).startsWithCharacter(text, c)) {
      return "text that is not valid " + excerpt(encoding_);
    }
    if (c == 0) {
      return "a NUL character";
    }
    if (!isXmlCharacter(c)) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
      return std::string("a character XML does not allow: ") + code;
    }
    return std::nullopt;
  }

  std::string_view bytes_;
  std::string& why_;
  std::unique_ptr<XML_ParserStruct, ParserDeleter> parser_;
  std::string encoding_;  // the encoding the list is read in, as far as is known
  bool encodingIsGiven_;
  bool stopped_ = false;
  TextPosition stoppedAt_;
  bool notInDeclaredEncoding_ = false;
  struct OpenElement {
    std::string name;
    ElementKind kind;
    plist_t node;                    // a dictionary or array, owned by the tree; or none
    std::optional<std::string> key;  // a dictionary's key that waits for its value
  };

  PlistPtr root_;
  PlistPtr passedOver_;            // a value after the first in the <plist>, built and then let go
  std::vector<OpenElement> open_;  // elements open around this point, outermost first
  int containers_ = 0;             // how many of them are dictionaries and arrays
  size_t values_ = 0;              // every value and key so far, each a node the parser makes
  std::string textElement_;        // the text element open here; empty when none is
  std::string text_;               // its text so far
};

}  // namespace

namespace {

// A position in `text` read from where `skipped` ends, as a position in the whole text.
TextPosition inWholeText(TextPosition at, std::string_view skipped) {
  size_t lineFeed = skipped.find_last_of('\n');
  if (at.line == 0) {
    return at;
  }
  if (at.line == 1) {
    at.column +=
        lineFeed == std::string_view::npos ? skipped.size() : skipped.size() - lineFeed - 1;
  }
  at.line += static_cast<unsigned long>(std::count(skipped.begin(), skipped.end(), '\n'));
  return at;
}

}  // namespace

PlistPtr readXmlList(std::string_view bytes, std::string& why, TextPosition& where) {
  // A declaration after white space, where templates leave it, is read as if it came first.
  std::string_view declared = trimmed(bytes);
  std::string_view skipped;
  if (declared.starts_with("<?xml")) {
    skipped = bytes.substr(0, static_cast<size_t>(declared.data() - bytes.data()));
    bytes = bytes.substr(skipped.size());
  }
  XmlReader reader(bytes, why, markedEncoding(bytes));
  PlistPtr root = reader.run();
  if (!root && reader.declaresAnEncodingItIsNotIn()) {
    XmlReader asUtf8(bytes, why, "UTF-8");
    root = asUtf8.run();
    where = inWholeText(asUtf8.stoppedAt(), skipped);
    return root;
  }
  where = inWholeText(reader.stoppedAt(), skipped);
  return root;
}

}  // namespace platform::linux_impl
