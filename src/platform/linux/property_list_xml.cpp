// The XML list's check: the text brought to UTF-8 and read as XML, then written out again in the
// plain form that the parser reads as the platform would, and at a cost that grows with the text.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "platform/linux/property_list.h"
#include "platform/linux/property_list_checks.h"
#include "platform/linux/text_encoding.h"

namespace platform::linux_impl {
namespace {

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

// ---- Encodings ----

std::string lowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return lower;
}

// The encoding that the XML declaration at the start of `text` names, if it names one.
std::optional<std::string_view> declaredEncoding(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && isXmlSpace(text[at])) {
    ++at;
  }
  text.remove_prefix(at);
  if (!startsWith(text, "<?xml") || text.size() < 6 || !isXmlSpace(text[5])) {
    return std::nullopt;
  }
  std::string_view declaration = text.substr(0, text.find("?>"));
  size_t name = declaration.find("encoding");
  if (name == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view rest = declaration.substr(name + 8);
  while (!rest.empty() && (isXmlSpace(rest.front()) || rest.front() == '=')) {
    rest.remove_prefix(1);
  }
  if (rest.empty() || (rest.front() != '"' && rest.front() != '\'')) {
    return std::nullopt;
  }
  size_t close = rest.find(rest.front(), 1);
  if (close == std::string_view::npos) {
    return std::nullopt;
  }
  return rest.substr(1, close - 1);
}

bool isEncodingName(std::string_view name) {
  if (name.empty() || name.size() > 40) {
    return false;
  }
  for (char c : name) {
    bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letterOrDigit && c != '-' && c != '_' && c != '.' && c != ':') {
      return false;
    }
  }
  return true;
}

// Text whose declaration could be read byte by byte is in no 16- or 32-bit form, whatever the
// declaration says: such a name is left over from a conversion, and the bytes are taken as UTF-8.
bool isUtf8OrWide(std::string_view name) {
  std::string lower = lowercase(name);
  for (std::string_view prefix :
       {"utf-16", "utf16", "utf-32", "utf32", "ucs-2", "ucs2", "ucs-4", "ucs4", "iso-10646-ucs"}) {
    if (startsWith(lower, prefix)) {
      return true;
    }
  }
  return lower == "utf-8" || lower == "utf8";
}

std::optional<std::string> validUtf8(std::string_view text, std::string& why) {
  if (!isValidUtf8(text)) {
    refuse(why, "text that is not valid UTF-8");
    return std::nullopt;
  }
  return std::string(text);
}

// The list's text in UTF-8: a byte-order mark decides, else the XML declaration, else UTF-8.
std::optional<std::string> utf8Text(std::string_view bytes, std::string& why) {
  if (startsWith(bytes, "\xEF\xBB\xBF")) {
    return validUtf8(bytes.substr(3), why);
  }
  if (startsWith(bytes, "\xFF\xFE") || startsWith(bytes, "\xFE\xFF")) {
    return toUtf8(bytes.substr(2), bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE", &why);
  }
  auto encoding = declaredEncoding(bytes);
  if (!encoding || isUtf8OrWide(*encoding)) {
    return validUtf8(bytes, why);
  }
  if (!isEncodingName(*encoding)) {
    refuse(why, "an encoding name that names none: " + excerpt(*encoding));
    return std::nullopt;
  }
  return toUtf8(bytes, std::string(*encoding), &why);
}

// XML reads every CR LF pair and every lone CR as one LF, before anything else.
std::string withLineFeeds(std::string text) {
  if (text.find('\r') == std::string::npos) {
    return text;
  }
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      out += text[i];
    } else if (i + 1 >= text.size() || text[i + 1] != '\n') {
      out += '\n';
    }
  }
  return out;
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

// Whether `c` may stand in an XML document: what a character reference may name.
bool isXmlCharacter(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Reads the list as XML and writes it out again for the parser: without the declaration, the
// document type, comments and processing instructions; with each value's text resolved (its
// references, its CDATA sections, the comments in it) and written plainly, or as one CDATA
// section where it holds '<' or '&'. The parser then meets no reference at all: it resolves each
// by moving the rest of the text, a cost that grows with the square of their number. Values are
// bounded as in a binary list, which keeps the parser's work to a few milliseconds.
class XmlPreparer {
 public:
  XmlPreparer(std::string_view xml, std::string& why) : xml_(xml), why_(why) {}

  std::optional<std::string> run() {
    if (xml_.find('\0') != std::string_view::npos) {
      refuse("a NUL character");
      return std::nullopt;
    }
    out_.reserve(xml_.size());
    while (at_ < xml_.size()) {
      bool fine = xml_[at_] == '<' ? markup() : characterData();
      if (!fine) {
        return std::nullopt;
      }
    }
    if (textElement_ || !open_.empty()) {
      refuse("<" + std::string(textElement_ ? *textElement_ : open_.back()) + "> is not closed");
      return std::nullopt;
    }
    return std::move(out_);
  }

 private:
  bool refuse(std::string reason) { return linux_impl::refuse(why_, std::move(reason)); }

  bool characterData() {
    size_t end = std::min(xml_.find('<', at_), xml_.size());
    std::string_view run = xml_.substr(at_, end - at_);
    at_ = end;
    if (textElement_) {
      return resolveReferences(run, text_);
    }
    return isOnlySpace(run) || refuse("text outside a value: " + excerpt(run));
  }

  static bool isOnlySpace(std::string_view text) {
    for (char c : text) {
      if (!isXmlSpace(c)) {
        return false;
      }
    }
    return true;
  }

  bool markup() {
    std::string_view rest = xml_.substr(at_);
    if (startsWith(rest, "<!--")) {
      return skipPast(4, "-->", "a comment that does not end");
    }
    if (startsWith(rest, "<![CDATA[")) {
      return cdataSection();
    }
    if (startsWith(rest, "<?")) {
      return skipPast(2, "?>", "a processing instruction that does not end");
    }
    if (textElement_) {
      return startsWith(rest, "</") ? endTag()
                                    : refuse("markup inside <" + std::string(*textElement_) + ">");
    }
    if (startsWith(rest, "<!")) {
      return skipDeclaration();
    }
    return startsWith(rest, "</") ? endTag() : startTag();
  }

  // Moves past the markup that opens here, `opening` bytes long, and what it holds.
  bool skipPast(size_t opening, std::string_view end, const char* unclosed) {
    size_t found = xml_.find(end, at_ + opening);
    if (found == std::string_view::npos) {
      return refuse(unclosed);
    }
    at_ = found + end.size();
    return true;
  }

  bool cdataSection() {
    size_t begin = at_ + 9;
    if (!skipPast(9, "]]>", "a CDATA section that does not end")) {
      return false;
    }
    std::string_view content = xml_.substr(begin, at_ - 3 - begin);
    if (textElement_) {
      text_.append(content);
      return true;
    }
    return isOnlySpace(content) || refuse("text outside a value: " + excerpt(content));
  }

  // <!DOCTYPE ...>, whose internal subset in brackets may hold '>'.
  bool skipDeclaration() {
    int brackets = 0;
    for (size_t i = at_ + 2; i < xml_.size(); ++i) {
      char c = xml_[i];
      brackets += c == '[' ? 1 : c == ']' ? -1 : 0;
      if (c == '>' && brackets <= 0) {
        at_ = i + 1;
        return true;
      }
    }
    return refuse("a document type declaration that does not end");
  }

  std::string_view name() {
    size_t begin = at_;
    while (at_ < xml_.size() && !isXmlSpace(xml_[at_]) && xml_[at_] != '/' && xml_[at_] != '>' &&
           xml_[at_] != '=') {
      ++at_;
    }
    return xml_.substr(begin, at_ - begin);
  }

  void skipSpace() {
    while (at_ < xml_.size() && isXmlSpace(xml_[at_])) {
      ++at_;
    }
  }

  bool startTag() {
    ++at_;
    std::string_view element = name();
    bool empty = false;
    for (;;) {
      skipSpace();
      if (at_ >= xml_.size()) {
        return refuse("a tag that does not end: <" + excerpt(element));
      }
      if (xml_[at_] == '>' || startsWith(xml_.substr(at_), "/>")) {
        empty = xml_[at_] == '/';
        at_ += empty ? 2 : 1;
        break;
      }
      if (!attribute(element)) {
        return false;
      }
    }
    return openElement(element, empty);
  }

  // name = "value" or 'value', whose references must stand for XML characters too.
  bool attribute(std::string_view element) {
    bool named = !name().empty();
    skipSpace();
    if (!named || at_ >= xml_.size() || xml_[at_] != '=') {
      return refuse("a malformed tag: <" + excerpt(element));
    }
    ++at_;
    skipSpace();
    char quote = at_ < xml_.size() ? xml_[at_] : '\0';
    size_t close =
        quote == '"' || quote == '\'' ? xml_.find(quote, at_ + 1) : std::string_view::npos;
    if (close == std::string_view::npos) {
      return refuse("a malformed tag: <" + excerpt(element));
    }
    std::string value;
    std::string_view raw = xml_.substr(at_ + 1, close - at_ - 1);
    at_ = close + 1;
    return resolveReferences(raw, value);
  }

  bool openElement(std::string_view element, bool empty) {
    if (!open_.empty() && kindOf(open_.back()) == ElementKind::Empty) {
      return refuse("<" + excerpt(element) + "> inside <" + std::string(open_.back()) + ">");
    }
    ElementKind kind = kindOf(element);
    if (kind != ElementKind::List && ++values_ > maxPropertyListNodes) {
      return refuse("more than " + std::to_string(maxPropertyListNodes) + " values");
    }
    switch (kind) {
      case ElementKind::Unknown:
        return refuse("an element a property list does not have: <" + excerpt(element) + ">");
      case ElementKind::List:
        if (!open_.empty()) {
          return refuse("a <plist> inside another element");
        }
        break;
      case ElementKind::Container:
        if (!empty && ++containers_ > maxPropertyListNesting) {
          return refuse("nested deeper than " + std::to_string(maxPropertyListNesting) +
                        " dictionaries and arrays");
        }
        break;
      case ElementKind::Text:
        textElement_ = element;
        text_.clear();
        return !empty || closeTextElement();
      case ElementKind::Empty:
        break;
    }
    out_ += '<';
    out_ += element;
    out_ += empty ? "/>" : ">";
    if (!empty) {
      open_.push_back(element);
    }
    return true;
  }

  bool endTag() {
    at_ += 2;
    std::string_view element = name();
    skipSpace();
    if (at_ >= xml_.size() || xml_[at_] != '>') {
      return refuse("a malformed tag: </" + excerpt(element));
    }
    ++at_;
    if (!textElement_ && open_.empty()) {
      return refuse("</" + excerpt(element) + "> where no element is open");
    }
    std::string_view open = textElement_ ? *textElement_ : open_.back();
    if (element != open) {
      return refuse("</" + excerpt(element) + "> where <" + std::string(open) + "> is open");
    }
    if (textElement_) {
      return closeTextElement();
    }
    containers_ -= kindOf(element) == ElementKind::Container ? 1 : 0;
    open_.pop_back();
    appendTag("</", element);
    return true;
  }

  // Writes the text element whose text has been gathered; an integer in plain decimal, as the
  // parser would take a leading 0 for octal, or as false when no 64-bit reader could hold it.
  bool closeTextElement() {
    std::string_view element = *textElement_;
    textElement_.reset();
    if (element == "integer") {
      int64_t value = 0;
      switch (readIntegerText(text_, value)) {
        case IntegerForm::Malformed:
          return refuse("an <integer> that is not a decimal or 0x hexadecimal number: " +
                        excerpt(text_));
        case IntegerForm::OutOfRange:
          out_ += "<false/>";
          return true;
        case IntegerForm::InRange:
          text_ = std::to_string(value);
          break;
      }
    }
    appendTag("<", element);
    appendEscaped(text_);
    appendTag("</", element);
    return true;
  }

  void appendTag(std::string_view opening, std::string_view element) {
    out_ += opening;
    out_ += element;
    out_ += '>';
  }

  // Plain where the text holds no markup character, else as CDATA, where only "]]>" needs care.
  void appendEscaped(std::string_view text) {
    if (text.find_first_of("<&") == std::string_view::npos) {
      out_.append(text);
      return;
    }
    out_ += "<![CDATA[";
    for (size_t end; (end = text.find("]]>")) != std::string_view::npos;) {
      out_.append(text.substr(0, end + 2));
      out_ += "]]><![CDATA[";
      text.remove_prefix(end + 2);
    }
    out_.append(text);
    out_ += "]]>";
  }

  // Appends `run` with its references resolved: the five that XML predefines and character
  // references, which must name a character XML allows (not NUL, not half a surrogate pair).
  bool resolveReferences(std::string_view run, std::string& out) {
    for (size_t amp; (amp = run.find('&')) != std::string_view::npos;) {
      out.append(run.substr(0, amp));
      size_t semicolon = run.find(';', amp);
      if (semicolon == std::string_view::npos) {
        return refuse("an & that begins no reference: " + excerpt(run.substr(amp)));
      }
      std::string_view reference = run.substr(amp + 1, semicolon - amp - 1);
      if (!resolveReference(reference, out)) {
        return false;
      }
      run.remove_prefix(semicolon + 1);
    }
    out.append(run);
    return true;
  }

  bool resolveReference(std::string_view reference, std::string& out) {
    static constexpr std::pair<std::string_view, char> predefined[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
    for (auto [entity, character] : predefined) {
      if (reference == entity) {
        out += character;
        return true;
      }
    }
    if (!startsWith(reference, "#")) {
      return refuse("an entity a property list can't define: &" + excerpt(reference) + ";");
    }
    auto character = characterReference(reference.substr(1));
    if (!character) {
      return refuse("a malformed character reference: &" + excerpt(reference) + ";");
    }
    if (*character == 0) {
      return refuse("a character reference to NUL: &" + excerpt(reference) + ";");
    }
    if (!isXmlCharacter(*character)) {
      return refuse("a character reference to no XML character: &" + excerpt(reference) + ";");
    }
    appendUtf8(out, *character);
    return true;
  }

  // The character that "65" or "x41" names; past U+10FFFF it stays there, whatever the digits.
  static std::optional<uint32_t> characterReference(std::string_view digits) {
    int base = 10;
    if (startsWith(digits, "x")) {
      base = 16;
      digits.remove_prefix(1);
    }
    if (digits.empty()) {
      return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : digits) {
      int digit = digitValue(c, base);
      if (digit < 0) {
        return std::nullopt;
      }
      value = std::min<uint32_t>(value * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit),
                                 0x110000);
    }
    return value;
  }

  std::string_view xml_;
  std::string& why_;
  size_t at_ = 0;
  std::string out_;
  std::vector<std::string_view> open_;  // elements open around this point, outermost first
  int containers_ = 0;                  // how many of them are dictionaries and arrays
  size_t values_ = 0;                   // every value and key so far, each a node the parser makes
  std::optional<std::string_view> textElement_;  // the text element open here, if one is
  std::string text_;                             // its text so far
};

}  // namespace

std::optional<std::string> preparedXmlList(std::string_view bytes, std::string& why) {
  auto text = utf8Text(bytes, why);
  if (!text) {
    return std::nullopt;
  }
  std::string xml = withLineFeeds(std::move(*text));
  return XmlPreparer(xml, why).run();
}

}  // namespace platform::linux_impl
