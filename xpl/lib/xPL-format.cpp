// xPL-format.cpp -- the xPL message text format: formatting a message into
// its text, and parsing a text into a received message.
//
// A message is two blocks of "name=value" lines: a header block whose title
// is the message type (hop count, source, target) and a body block whose
// title is the schema.  Formatting assembles the text in one static buffer
// without allocating; parsing reads it back into a received message whose
// strings all come from the pools.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "xPL_priv.h"

namespace {

using xpl::internal::debugging;

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

constexpr int kMessageBuffSize = 2048;
constexpr int kBlockHeaderSize = 128;
constexpr int kBlockNameSize = 256;
constexpr int kBlockValueSize = 1500;
static_assert(MSG_MAX_SIZE <= kMessageBuffSize, "outgoing text must fit the message buffer");

// Outgoing text under assembly.
char messageBuff[kMessageBuffSize];
int messageBytesWritten = 0;

// A block header, a name or a value has at most its buffer's size - 1
// characters; longer text is rejected rather than cut.  The parser copies
// from the text straight into pool strings; these buffers hold a header,
// name or value as stored only for a log line or a number.
char blockHeaderBuff[kBlockHeaderSize];
char blockNameBuff[kBlockNameSize];
char blockValueBuff[kBlockValueSize];

// The header keyword of each message type, by type number.
constexpr std::string_view kTypeKeywords[] = {{}, "xpl-cmnd", "xpl-stat", "xpl-trig"};
static_assert(sizeof(kTypeKeywords) / sizeof(kTypeKeywords[0]) == xPL_MESSAGE_TRIGGER + 1,
              "one keyword per message type");

// The prefix of a group target on the wire and in a received message.
constexpr std::string_view kGroupPrefix = "XPL-GROUP.";
static_assert(kGroupPrefix.size() == 10, "group prefix is XPL-GROUP.");

// ---------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------

// Writes the outgoing text into messageBuff.  Every piece is appended with
// its length known, and the text is terminated once, when it is complete or
// refused.  The writer's position stays in a register: messageBytesWritten,
// which any byte written could alias, is set when the writer is done.
class TextWriter {
 public:
  TextWriter() : at_(messageBuff) {}
  ~TextWriter() { messageBytesWritten = static_cast<int>(at_ - messageBuff); }
  TextWriter(const TextWriter &) = delete;
  TextWriter &operator=(const TextWriter &) = delete;

  // Appends theLength bytes unless the text would then reach MSG_MAX_SIZE.
  bool append(const char *theText, size_t theLength) {
    if (static_cast<size_t>(at_ - messageBuff) + theLength >= MSG_MAX_SIZE) return refuseTooLong();
    xpl::internal::copyBytes(at_, theText, theLength);
    at_ += theLength;
    return true;
  }
  bool append(std::string_view theText) { return append(theText.data(), theText.size()); }
  // An absent text appends nothing.
  bool append(const char *theText) {
    return theText == nullptr || append(theText, strlen(theText));
  }
  bool append(char theChar) {
    if (at_ - messageBuff + 1 >= MSG_MAX_SIZE) return refuseTooLong();
    *at_++ = theChar;
    return true;
  }
  void terminate() { *at_ = '\0'; }

 private:
  bool refuseTooLong() {
    terminate();
    xPL_Debug("Message exceeds MSG_MAX_SIZE (%d) -- not sent!", MSG_MAX_SIZE);
    xPL_Debug("** Too Long Message is, to date [%s]", messageBuff);
    return false;
  }

  char *at_;
};

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Two upper-case hexadecimal digits per byte, each pair a piece of its own.
bool writeBinaryValue(TextWriter &theWriter, const xPL_NameValuePair &thePair) {
  const auto *theBytes = reinterpret_cast<const unsigned char *>(thePair.itemValue);
  for (int i = 0; i < thePair.binaryLength; i++) {
    const char theDigits[2] = {kHexDigits[theBytes[i] >> 4], kHexDigits[theBytes[i] & 0xF]};
    if (!theWriter.append(theDigits, sizeof theDigits)) return false;
  }
  return true;
}

// "vendor-device.instance"
bool writeAddress(TextWriter &theWriter, const char *theVendor, const char *theDevice,
                  const char *theInstance) {
  return theWriter.append(theVendor) && theWriter.append('-') && theWriter.append(theDevice) &&
         theWriter.append('.') && theWriter.append(theInstance);
}

// The parts without which the text would carry "(null)" or an empty address.
bool hasFormattableParts(xPL_MessagePtr theMessage) {
  if (theMessage->sourceVendor == nullptr || theMessage->sourceDeviceID == nullptr ||
      theMessage->sourceInstanceID == nullptr) {
    xPL_Debug("Unable to format message -- source vendor, device or instance is missing");
    return false;
  }
  if (theMessage->isBroadcastMessage) {
    // The target parts are not written.
  } else if (theMessage->isGroupMessage) {
    if (theMessage->groupName == nullptr) {
      xPL_Debug("Unable to format message -- target group is missing");
      return false;
    }
  } else if (theMessage->targetVendor == nullptr || theMessage->targetDeviceID == nullptr ||
             theMessage->targetInstanceID == nullptr) {
    xPL_Debug("Unable to format message -- target vendor, device or instance is missing");
    return false;
  }
  if (theMessage->schemaClass == nullptr || theMessage->schemaType == nullptr) {
    xPL_Debug("Unable to format message -- schema class or type is missing");
    return false;
  }
  return true;
}

bool formatInto(xPL_MessagePtr theMessage, std::string_view theKeyword) {
  using namespace std::string_view_literals;
  TextWriter theWriter;
  if (!theWriter.append(theKeyword) || !theWriter.append("\n{\nhop=1\nsource="sv) ||
      !writeAddress(theWriter, theMessage->sourceVendor, theMessage->sourceDeviceID,
                    theMessage->sourceInstanceID) ||
      !theWriter.append('\n')) {
    return false;
  }

  bool targetWritten;
  if (theMessage->isBroadcastMessage) {
    targetWritten = theWriter.append("target=*"sv);
  } else if (theMessage->isGroupMessage) {
    targetWritten = theWriter.append("target=XPL-GROUP."sv) && theWriter.append(theMessage->groupName);
  } else {
    targetWritten = theWriter.append("target="sv) &&
                    writeAddress(theWriter, theMessage->targetVendor, theMessage->targetDeviceID,
                                 theMessage->targetInstanceID);
  }
  if (!targetWritten) return false;

  if (!theWriter.append("\n}\n"sv) || !theWriter.append(theMessage->schemaClass) ||
      !theWriter.append('.') || !theWriter.append(theMessage->schemaType) ||
      !theWriter.append("\n{\n"sv)) {
    return false;
  }

  const int pairCount = xPL_getNamedValueCount(theMessage->messageBody);
  for (int i = 0; i < pairCount; i++) {
    const xPL_NameValuePair &thePair = *theMessage->messageBody->namedValues[i];
    if (!theWriter.append(thePair.itemName) || !theWriter.append('=')) return false;
    if (thePair.isBinary) {
      if (!writeBinaryValue(theWriter, thePair)) return false;
    } else if (!theWriter.append(thePair.itemValue)) {
      return false;
    }
    if (!theWriter.append('\n')) return false;
  }
  if (!theWriter.append("}\n"sv)) return false;
  theWriter.terminate();
  return true;
}

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------
//
// The text is read a line at a time: sixteen bytes at a time (eight
// without SSE2) show where a name or a line ends and whether a byte in it
// must be stored as '|', and every string the message keeps is copied once,
// from the text straight into its pool string (through the character table
// only when such a byte is there).  The header block's entries are read in place: hop, source and
// target are taken from the text, and no pair is made for them.

constexpr int kMaxHeaderLength = kBlockHeaderSize - 1;
constexpr int kMaxNameLength = kBlockNameSize - 1;
constexpr int kMaxValueLength = kBlockValueSize - 1;

using CharTable = std::array<char, 256>;

// What is stored for each byte of a header, name or value: the byte itself,
// or '|' for one that cannot stand there (below 32, above 'z').
constexpr CharTable makeBlockChars() {
  CharTable theTable{};
  for (int i = 0; i < 256; i++) {
    const auto code = static_cast<signed char>(i);
    theTable[static_cast<size_t>(i)] = (code < 32 || code > 'z') ? '|' : static_cast<char>(i);
  }
  return theTable;
}
constexpr CharTable kBlockChars = makeBlockChars();
static_assert(kBlockChars['\r'] == '|' && kBlockChars['\n'] == '|' && kBlockChars[' '] == ' ' &&
                  kBlockChars['z'] == 'z' && kBlockChars['{'] == '|' && kBlockChars[0x7f] == '|' &&
                  kBlockChars[0x80] == '|' && kBlockChars[0xff] == '|',
              "controls, '{' to DEL and bytes above 127 are stored as '|'");
// The parser finds '-', '.', '*' and the keyword letters in the raw text:
// that is only right because the table leaves them alone and makes none of
// them out of another byte.
static_assert(kBlockChars['-'] == '-' && kBlockChars['.'] == '.' && kBlockChars['*'] == '*' &&
                  kBlockChars['a'] == 'a' && kBlockChars['Z'] == 'Z',
              "address and keyword characters are stored as they are");

// The bytes that end a name: '=' and '!' (a value follows), '}' (the block
// ends) and the terminator.  A line feed does not: the name goes on.
constexpr CharTable makeNameEnds() {
  CharTable theTable{};
  theTable['='] = theTable['!'] = theTable['}'] = theTable['\0'] = 1;
  return theTable;
}
constexpr CharTable kNameEnds = makeNameEnds();

inline unsigned char byteAt(const char *theText, int thePosition) {
  return static_cast<unsigned char>(theText[thePosition]);
}

// ---- Eight bytes at a time --------------------------------------------------
//
// Names and values are a few characters long, so a byte loop that looks for
// their end leaves at a different count each time and the leaving is
// mispredicted.  Looking at eight bytes at once finds the end with one test
// and a bit count.  Only on little-endian machines, where the first byte of
// the text is the lowest of the word; others take the byte loops.  Where
// sixteen-byte chunks are used instead (below), these helpers stay compiled
// and checked, unused.

using Word = uint64_t;
[[maybe_unused]] constexpr bool kWordScan = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
constexpr int kWordSize = sizeof(Word);
constexpr Word kOnes = 0x0101010101010101ULL;
constexpr Word kLows = kOnes * 0x7f;

[[maybe_unused]] inline Word loadWord(const char *theText) {
  Word theWord;
  memcpy(&theWord, theText, sizeof theWord);
  return theWord;
}

// The top bit of each byte of theWord that is zero, exactly (no carry
// crosses a byte).
constexpr Word zeroBytes(Word theWord) {
  return ~(((theWord & kLows) + kLows) | theWord | kLows);
}

constexpr Word bytesEqualTo(Word theWord, char theChar) {
  return zeroBytes(theWord ^ (kOnes * static_cast<unsigned char>(theChar)));
}

// The index of the first byte flagged in a zeroBytes-style mask.
[[maybe_unused]] inline int firstFlagged(Word theMask) { return __builtin_ctzll(theMask) / 8; }

static_assert(zeroBytes(0x4100FF0080017F20ULL) == 0x0080008000000000ULL,
              "zeroBytes flags exactly the zero bytes");
static_assert(bytesEqualTo(0x3D0A3D213D7D0000ULL, '=') == 0x8000800080000000ULL,
              "bytesEqualTo flags exactly the equal bytes");

// The top bit of each byte of theWord that is stored as '|' (below 32, above
// 'z'): bytes with the top bit set, and the others as their low seven bits
// compare (the sums stay within their byte).
constexpr Word barBytes(Word theWord) {
  const Word lowBits = theWord & kLows;
  const Word atLeastBlank = lowBits + kOnes * (0x80 - ' ');
  const Word aboveZ = lowBits + kOnes * (0x80 - 'z' - 1);
  return (theWord | ~atLeastBlank | aboveZ) & ~kLows;
}
static_assert(barBytes(0x1F207A7B7F80FF41ULL) == 0x8000008080808000ULL,
              "barBytes flags exactly the bytes stored as '|'");

// Where a name or line ends, and whether a byte before the end is stored
// as '|' (then the text is mapped as it is copied; most texts hold none).
struct Scan {
  int end;
  bool hasBars;
};

// The flags of bytes before the first one flagged in theEnds.
[[maybe_unused]] constexpr Word beforeFirst(Word theFlags, Word theEnds) {
  return theFlags & ((theEnds & (~theEnds + 1)) - 1);
}

#if defined(__SSE2__)
// Sixteen bytes at a time where the processor has SSE2 (every x86-64): a
// name or line usually ends within the first sixteen.
constexpr int kChunkSize = 16;

// Bit i set for each byte i of theChunk stored as '|' (below 32, above 'z';
// bytes above 127 are negative).
inline unsigned barMask(__m128i theChunk) {
  const __m128i theBars = _mm_or_si128(_mm_cmplt_epi8(theChunk, _mm_set1_epi8(' ')),
                                       _mm_cmpgt_epi8(theChunk, _mm_set1_epi8('z')));
  return static_cast<unsigned>(_mm_movemask_epi8(theBars));
}

inline unsigned equalMask(__m128i theChunk, char theChar) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(theChunk, _mm_set1_epi8(theChar))));
}

inline __m128i loadChunk(const char *theText) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(theText));
}

// The bits of theFlags below the lowest bit of theEnds (not zero).
inline unsigned beforeFirstBit(unsigned theFlags, unsigned theEnds) {
  return theFlags & ((theEnds & (~theEnds + 1)) - 1);
}
#endif

// Where the first byte that ends a stretch lies from thePosition on, or
// textLength when the terminator comes first.  The ends are given three
// ways: chunkEnds flags them in sixteen bytes, wordEnds in eight, isEnd tells
// one byte (the terminator needs no flag: the scan never passes it).  The
// readableBefore bytes before theText may be read.
template <typename ChunkEnds, typename WordEnds, typename IsEnd>
inline Scan scanTo(const char *theText, int thePosition, int textLength,
                   [[maybe_unused]] int readableBefore, [[maybe_unused]] ChunkEnds chunkEnds,
                   [[maybe_unused]] WordEnds wordEnds, IsEnd isEnd) {
  bool hasBars = false;
#if defined(__SSE2__)
  // A chunk may take in the terminator, never a byte after it.
  while (thePosition + kChunkSize <= textLength + 1) {
    const __m128i theChunk = loadChunk(theText + thePosition);
    const unsigned theEnds = chunkEnds(theChunk);
    const unsigned theBars = barMask(theChunk);
    if (theEnds != 0) {
      hasBars |= beforeFirstBit(theBars, theEnds) != 0;
      return {thePosition + __builtin_ctz(theEnds), hasBars};
    }
    hasBars |= theBars != 0;
    thePosition += kChunkSize;
  }
  // Fewer than sixteen bytes are left (the terminator is among them), or the
  // last chunk took in the terminator and stepped past it.  The last sixteen
  // bytes up to the terminator are read again, those already seen skipped.
  const int lastStart = textLength + 1 - kChunkSize;
  if (thePosition <= textLength && lastStart >= -readableBefore) {
    const __m128i theChunk = loadChunk(theText + lastStart);
    const int theSkip = thePosition - lastStart;
    const unsigned theEnds = chunkEnds(theChunk) >> theSkip;
    const unsigned theBars = barMask(theChunk) >> theSkip;
    if (theEnds == 0) return {textLength, hasBars};
    hasBars |= beforeFirstBit(theBars, theEnds) != 0;
    return {thePosition + __builtin_ctz(theEnds), hasBars};
  }
#else
  if constexpr (kWordScan) {
    Word theBars = 0;
    while (thePosition + kWordSize <= textLength + 1) {
      const Word theWord = loadWord(theText + thePosition);
      const Word theEnds = wordEnds(theWord);
      if (theEnds != 0) {
        theBars |= beforeFirst(barBytes(theWord), theEnds);
        return {thePosition + firstFlagged(theEnds), theBars != 0};
      }
      theBars |= barBytes(theWord);
      thePosition += kWordSize;
    }
    hasBars = theBars != 0;
  }
#endif
  if (thePosition > textLength) return {textLength, hasBars};
  for (; thePosition < textLength && !isEnd(byteAt(theText, thePosition)); thePosition++) {
    hasBars |= kBlockChars[byteAt(theText, thePosition)] != theText[thePosition];
  }
  return {thePosition, hasBars};
}

// The first '=', '!', '}' or terminator from thePosition on: the end of a
// name (a line feed does not end one: the name goes on).
inline Scan scanName(const char *theText, int thePosition, int textLength, int readableBefore) {
  return scanTo(
      theText, thePosition, textLength, readableBefore,
#if defined(__SSE2__)
      [](__m128i theChunk) {
        return equalMask(theChunk, '=') | equalMask(theChunk, '!') | equalMask(theChunk, '}') |
               equalMask(theChunk, '\0');
      },
#else
      nullptr,
#endif
      [](Word theWord) {
        return bytesEqualTo(theWord, '=') | bytesEqualTo(theWord, '!') |
               bytesEqualTo(theWord, '}') | zeroBytes(theWord);
      },
      [](unsigned char theByte) { return kNameEnds[theByte] != 0; });
}

// The first line feed from thePosition on, or textLength if there is none.
inline Scan scanLine(const char *theText, int thePosition, int textLength, int readableBefore) {
  return scanTo(
      theText, thePosition, textLength, readableBefore,
#if defined(__SSE2__)
      [](__m128i theChunk) { return equalMask(theChunk, '\n'); },
#else
      nullptr,
#endif
      [](Word theWord) { return bytesEqualTo(theWord, '\n'); },
      [](unsigned char theByte) { return theByte == '\n'; });
}

// A stretch of the text being parsed (not terminated), and whether it may
// hold a byte stored as '|'.
struct Span {
  const char *text;
  int length;
  bool hasBars;
};

// Copies theSpan through the character table to theBuffer and terminates it.
// Out of line: names and values hardly ever need it.
__attribute__((noinline)) void copyMapped(char *theBuffer, Span theSpan) {
  for (int i = 0; i < theSpan.length; i++) {
    theBuffer[i] = kBlockChars[byteAt(theSpan.text, i)];
  }
  theBuffer[theSpan.length] = '\0';
}

// A pool string holding theSpan as the parser stores it.
inline String poolCopy(Span theSpan) {
  String theString = xpl::internal::copyString(theSpan.text, theSpan.length);
  if (theSpan.hasBars) copyMapped(theString, theSpan);
  return theString;
}

// theSpan as stored, in a fixed buffer of at least theSpan.length + 1 bytes
// (for log lines and numbers).
const char *mappedText(char *theBuffer, Span theSpan) {
  copyMapped(theBuffer, theSpan);
  return theBuffer;
}

// A keyword or entry name of up to eight characters, ready to be compared
// with a text ignoring case in one step: its bytes in lower case, and the
// bit that folds the case of a letter set in the bytes of its letters (a
// byte OR'd with 0x20 equals a lower-case letter only when it is that letter
// in either case; other bytes must be equal as they are).
struct FoldedWord {
  Word lower;
  Word caseBits;
  int length;
};

constexpr Word placeByte(char theChar, int theIndex) {
  const int theShift = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 8 * theIndex : 8 * (7 - theIndex);
  return static_cast<Word>(static_cast<unsigned char>(theChar)) << theShift;
}

constexpr FoldedWord foldedWord(std::string_view theUpper) {
  FoldedWord theWord{0, 0, static_cast<int>(theUpper.size())};
  for (int i = 0; i < theWord.length; i++) {
    const char theChar = theUpper[static_cast<size_t>(i)];
    const bool isLetter = theChar >= 'A' && theChar <= 'Z';
    theWord.lower |= placeByte(isLetter ? static_cast<char>(theChar + 0x20) : theChar, i);
    if (isLetter) theWord.caseBits |= placeByte(0x20, i);
  }
  return theWord;
}

constexpr FoldedWord kHop = foldedWord("HOP");
constexpr FoldedWord kSource = foldedWord("SOURCE");
constexpr FoldedWord kTarget = foldedWord("TARGET");
constexpr FoldedWord kGroupVendor = foldedWord("XPL");
constexpr FoldedWord kGroupDevice = foldedWord("GROUP");
constexpr FoldedWord kCommand = foldedWord("XPL-CMND");
constexpr FoldedWord kStatus = foldedWord("XPL-STAT");
constexpr FoldedWord kTrigger = foldedWord("XPL-TRIG");
static_assert(kCommand.length == kWordSize && kHop.length == 3, "the names fit a word");

// Whether theSpan equals theName ignoring case.
inline bool equalsIgnoringCase(Span theSpan, const FoldedWord &theName) {
  if (theSpan.length != theName.length) return false;
  Word theText = 0;
  memcpy(&theText, theSpan.text, static_cast<size_t>(theName.length));
  return (theText | theName.caseBits) == theName.lower;
}

const char *findChar(Span theSpan, int theStart, char theChar) {
  return static_cast<const char *>(
      memchr(theSpan.text + theStart, theChar, static_cast<size_t>(theSpan.length - theStart)));
}

// ---- Binary values ----------------------------------------------------------

inline bool isHexDigit(char theChar) {
  return (theChar >= '0' && theChar <= '9') || (theChar >= 'A' && theChar <= 'F');
}

inline int hexValue(char theChar) { return theChar <= '9' ? theChar - '0' : theChar - 'A' + 10; }

// Whether theText is a binary value: pairs of upper-case hexadecimal digits.
bool isBinaryText(Span theText) {
  if (theText.length % 2 != 0) return false;
  for (int i = 0; i < theText.length; i++) {
    if (!isHexDigit(theText.text[i])) return false;
  }
  return true;
}

// The bytes of a binary value, in a block from the general allocator.
String binaryBlock(Span theText) {
  const int byteCount = theText.length / 2;
  auto *theBytes = static_cast<unsigned char *>(malloc(static_cast<size_t>(byteCount)));
  for (int i = 0; i < byteCount; i++) {
    theBytes[i] =
        static_cast<unsigned char>(hexValue(theText.text[2 * i]) * 16 + hexValue(theText.text[2 * i + 1]));
  }
  return reinterpret_cast<String>(theBytes);
}

// Logs the refusal of a binary value; the name is shown as it would be stored.
void logBadBinary(Span theName) {
  if (!debugging()) return;
  xPL_Debug("Unable to xlate binary value for name %s", mappedText(blockNameBuff, theName));
}

// ---- Blocks -----------------------------------------------------------------

int ranOutOfCharacters(int textLength) {
  xPL_Debug("Ran out of characters parsing block");
  return -textLength;
}

// One "name=value" or "name!value" line of a block.
struct Entry {
  Span name;
  Span value;
  bool isBinary;
};

// Reads one block ("header\n{\nname=value\n...}\n") of theText, which holds
// textLength characters and its terminator and follows readableBefore
// characters of the same text (the scans may read them), handing each entry to takeEntry
// (which logs and returns false to refuse it).  Returns the characters
// consumed when a block was read, 0 when the text held only skippable
// characters, and minus the failing position on an error.  *theHeader
// receives the header line as it stands in the text.
template <typename TakeEntry>
int readBlock(const char *theText, int textLength, int readableBefore, Span *theHeader,
              TakeEntry takeEntry) {
  int thePosition = 0;
  // Blanks, line feeds and control bytes (bytes above 127 among them) before
  // a block are skipped.
  while (thePosition < textLength && static_cast<signed char>(theText[thePosition]) <= 32) {
    thePosition++;
  }
  if (thePosition == textLength) return 0;

  const int headerStart = thePosition;
  const Scan theHeaderLine = scanLine(theText, headerStart, textLength, readableBefore);
  const int headerEnd = theHeaderLine.end;
  if (headerEnd - headerStart > kMaxHeaderLength) {
    xPL_Debug("Block header longer than %d characters at position %d - bad message",
              kMaxHeaderLength, headerStart + kMaxHeaderLength);
    return -(headerStart + kMaxHeaderLength);
  }
  if (headerEnd == textLength) return ranOutOfCharacters(textLength);
  *theHeader = {theText + headerStart, headerEnd - headerStart, theHeaderLine.hasBars};

  thePosition = headerEnd + 1;
  if (thePosition == textLength) return ranOutOfCharacters(textLength);
  if (theText[thePosition] != '{') {
    xPL_Debug("Got invalid character parsing start of block - %c at position %d (wanted a {)",
              theText[thePosition], thePosition);
    return -thePosition;
  }
  thePosition++;
  if (thePosition == textLength) return ranOutOfCharacters(textLength);
  if (theText[thePosition] != '\n') {
    xPL_Debug("Got invalid character parsing start of block -  %c at position %d (wanted a LF)",
              theText[thePosition], thePosition);
    return -thePosition;
  }
  thePosition++;

  for (;;) {
    const int nameStart = thePosition;
    const Scan theName = scanName(theText, nameStart, textLength, readableBefore);
    thePosition = theName.end;
    if (thePosition - nameStart > kMaxNameLength) {
      xPL_Debug("Name longer than %d characters at position %d - bad message", kMaxNameLength,
                nameStart + kMaxNameLength);
      return -(nameStart + kMaxNameLength);
    }
    const char theEnd = theText[thePosition];
    if (theEnd == '\0') return ranOutOfCharacters(textLength);

    if (theEnd == '}') {
      // Ends the block, even in the middle of a name.
      thePosition++;
      if (thePosition == textLength) return ranOutOfCharacters(textLength);
      if (theText[thePosition] != '\n') {
        xPL_Debug(
            "Got invalid character parsing end of name/value -  %c at position %d (wanted a LF)",
            theText[thePosition], thePosition);
        return -thePosition;
      }
      return thePosition + 1;
    }

    const int valueStart = thePosition + 1;
    const Scan theValue = scanLine(theText, valueStart, textLength, readableBefore);
    const int valueEnd = theValue.end;
    if (valueEnd - valueStart > kMaxValueLength) {
      xPL_Debug("Value longer than %d characters at position %d - bad message", kMaxValueLength,
                valueStart + kMaxValueLength);
      return -(valueStart + kMaxValueLength);
    }
    if (valueEnd == textLength) return ranOutOfCharacters(textLength);

    const Entry theEntry{{theText + nameStart, thePosition - nameStart, theName.hasBars},
                         {theText + valueStart, valueEnd - valueStart, theValue.hasBars},
                         theEnd == '!'};
    if (!takeEntry(theEntry)) return -valueEnd;
    thePosition = valueEnd + 1;
  }
}

// ---- The header block ---------------------------------------------------------

// The first hop, source and target entries of a header block (names
// compared ignoring case); the others are ignored.
struct HeaderEntries {
  const Entry *find(std::string_view theName) const {
    if (theName == "HOP") return hasHop ? &hop : nullptr;
    if (theName == "SOURCE") return hasSource ? &source : nullptr;
    return hasTarget ? &target : nullptr;
  }

  // Notes theEntry if it is the first of its name; false for a binary
  // value that is not one.
  bool take(const Entry &theEntry) {
    if (theEntry.isBinary && !isBinaryText(theEntry.value)) {
      logBadBinary(theEntry.name);
      return false;
    }
    if (!hasHop && equalsIgnoringCase(theEntry.name, kHop)) {
      hop = theEntry;
      hasHop = true;
    } else if (!hasSource && equalsIgnoringCase(theEntry.name, kSource)) {
      source = theEntry;
      hasSource = true;
    } else if (!hasTarget && equalsIgnoringCase(theEntry.name, kTarget)) {
      target = theEntry;
      hasTarget = true;
    }
    return true;
  }

  // Read only once their flag is set.
  Entry hop;
  Entry source;
  Entry target;
  bool hasHop = false;
  bool hasSource = false;
  bool hasTarget = false;
};

// The text of a header entry.  An entry in binary form is no text, so it is
// refused like a malformed one.
bool getHeaderText(const HeaderEntries &theEntries, std::string_view upperName,
                   const char *missingText, Span *theText) {
  const Entry *theEntry = theEntries.find(upperName);
  if (theEntry == nullptr) {
    xPL_Debug("%s", missingText);
    return false;
  }
  if (theEntry->isBinary) {
    xPL_Debug("Message %.*s entry is not text - bad message", static_cast<int>(upperName.size()),
              upperName.data());
    return false;
  }
  *theText = theEntry->value;
  return true;
}

// The three parts of "vendor-device.instance": the vendor runs to the first
// '-', the device from there to the next '.', the instance is the rest.
struct Address {
  Span vendor;
  Span device;
  Span instance;
};

// Splits theText; logs with theWhat ("SOURCE"/"TARGET") when it cannot.
bool splitAddress(Span theText, const char *theWhat, Address *theAddress) {
  const char *theDash = findChar(theText, 0, '-');
  if (theDash == nullptr) {
    if (debugging()) {
      xPL_Debug("%s Missing Device ID - %s", theWhat, mappedText(blockValueBuff, theText));
    }
    return false;
  }
  const int dashAt = static_cast<int>(theDash - theText.text);
  const char *theDot = findChar(theText, dashAt + 1, '.');
  if (theDot == nullptr) {
    if (debugging()) {
      const char *theValue = mappedText(blockValueBuff, theText);
      xPL_Debug("%s Missing Instance ID - %.*s.%s", theWhat, dashAt, theValue,
                theValue + dashAt + 1);
    }
    return false;
  }
  const int dotAt = static_cast<int>(theDot - theText.text);
  theAddress->vendor = {theText.text, dashAt, theText.hasBars};
  theAddress->device = {theDash + 1, dotAt - dashAt - 1, theText.hasBars};
  theAddress->instance = {theDot + 1, theText.length - dotAt - 1, theText.hasBars};
  return true;
}

// A hop count: a whole decimal number above 0.
bool readHopCount(Span theText, int *hopCount) {
  // The usual single digit needs no conversion.
  if (theText.length == 1 && theText.text[0] >= '1' && theText.text[0] <= '9') {
    *hopCount = theText.text[0] - '0';
    return true;
  }
  int theValue = 0;
  if (!xPL_strToInt(mappedText(blockValueBuff, theText), &theValue) || theValue <= 0) {
    return false;
  }
  *hopCount = theValue;
  return true;
}

// Checks the header entries and stores hop count, source and target.
bool parseMessageHeader(xPL_MessagePtr theMessage, const HeaderEntries &theEntries) {
  Span hopText{};
  if (!getHeaderText(theEntries, "HOP", "Message missing HOP count", &hopText)) return false;
  if (!readHopCount(hopText, &theMessage->hopCount)) {
    xPL_Debug("Message HOP Count invalid");
    return false;
  }

  Span sourceText{};
  if (!getHeaderText(theEntries, "SOURCE", "Message missing SOURCE", &sourceText)) return false;
  Address theSource{};
  if (!splitAddress(sourceText, "SOURCE", &theSource)) return false;
  theMessage->sourceVendor = poolCopy(theSource.vendor);
  theMessage->sourceDeviceID = poolCopy(theSource.device);
  theMessage->sourceInstanceID = poolCopy(theSource.instance);

  Span targetText{};
  if (!getHeaderText(theEntries, "TARGET", "Message missing TARGET", &targetText)) return false;
  if (targetText.length == 1 && targetText.text[0] == '*') {
    theMessage->isBroadcastMessage = TRUE;
    return true;
  }
  Address theTarget{};
  if (!splitAddress(targetText, "TARGET", &theTarget)) return false;
  if (equalsIgnoringCase(theTarget.vendor, kGroupVendor) && equalsIgnoringCase(theTarget.device, kGroupDevice)) {
    // The whole received name is kept, prefix included (in upper case), so
    // that it compares with the configured group texts.
    String theGroup = xPL_StrAlloc(static_cast<int>(kGroupPrefix.size()) + theTarget.instance.length);
    memcpy(theGroup, kGroupPrefix.data(), kGroupPrefix.size());
    copyMapped(theGroup + kGroupPrefix.size(), theTarget.instance);
    theMessage->groupName = theGroup;
    theMessage->isGroupMessage = TRUE;
  } else {
    theMessage->targetVendor = poolCopy(theTarget.vendor);
    theMessage->targetDeviceID = poolCopy(theTarget.device);
    theMessage->targetInstanceID = poolCopy(theTarget.instance);
  }
  return true;
}

xPL_MessageType keywordToType(Span theKeyword) {
  if (equalsIgnoringCase(theKeyword, kCommand)) return xPL_MESSAGE_COMMAND;
  if (equalsIgnoringCase(theKeyword, kStatus)) return xPL_MESSAGE_STATUS;
  if (equalsIgnoringCase(theKeyword, kTrigger)) return xPL_MESSAGE_TRIGGER;
  return xPL_MESSAGE_ANY;
}

// ---- The body block -----------------------------------------------------------

// Appends theEntry to theList as a pair that owns copies of its texts.
bool addBodyPair(xPL_NameValueListPtr theList, const Entry &theEntry) {
  if (theEntry.isBinary && !isBinaryText(theEntry.value)) {
    logBadBinary(theEntry.name);
    return false;
  }
  xPL_NameValuePairPtr thePair = xpl::internal::appendNamedValuePair(theList);
  thePair->itemName = poolCopy(theEntry.name);
  if (theEntry.isBinary) {
    thePair->isBinary = TRUE;
    thePair->itemValue = binaryBlock(theEntry.value);
    thePair->binaryLength = theEntry.value.length / 2;
  } else {
    thePair->itemValue = poolCopy(theEntry.value);
  }
  return true;
}

// Releases a half-built message and says why.
xPL_MessagePtr reject(xPL_MessagePtr theMessage, const char *theReason) {
  xPL_Debug("%s", theReason);
  xPL_releaseMessage(theMessage);
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------

String xPL_formatMessage(xPL_MessagePtr theMessage) {
  messageBytesWritten = 0;
  messageBuff[0] = '\0';
  if (theMessage == nullptr) return nullptr;

  const xPL_MessageType theType = theMessage->messageType;
  if (theType != xPL_MESSAGE_COMMAND && theType != xPL_MESSAGE_STATUS &&
      theType != xPL_MESSAGE_TRIGGER) {
    xPL_Debug("Unable to format message -- invalid/unknown message type %d",
              static_cast<int>(theType));
    return nullptr;
  }
  if (!hasFormattableParts(theMessage)) return nullptr;
  if (!formatInto(theMessage, kTypeKeywords[theType])) return nullptr;
  return messageBuff;
}

int xpl::internal::formattedLength() { return messageBytesWritten; }

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------

xPL_MessagePtr xPL_parseMessage(const char *theText) {
  const int textLength = static_cast<int>(strlen(theText));
  xPL_MessagePtr theMessage = xpl::internal::createReceivedMessage(xPL_MESSAGE_ANY);

  HeaderEntries theEntries;
  Span theKeyword{};
  const int headerEnd = readBlock(theText, textLength, 0, &theKeyword,
                                  [&](const Entry &theEntry) { return theEntries.take(theEntry); });
  if (headerEnd <= 0) return reject(theMessage, "Error parsing message header");

  theMessage->messageType = keywordToType(theKeyword);
  if (theMessage->messageType == xPL_MESSAGE_ANY) {
    if (debugging()) {
      xPL_Debug("Unknown message header of %s - bad message",
                mappedText(blockHeaderBuff, theKeyword));
    }
    xPL_releaseMessage(theMessage);
    return nullptr;
  }

  if (!parseMessageHeader(theMessage, theEntries)) {
    return reject(theMessage, "Unable to parse message header");
  }

  xPL_NameValueListPtr theBody = theMessage->messageBody;
  Span theSchema{};
  const int bodyLength =
      readBlock(theText + headerEnd, textLength - headerEnd, headerEnd, &theSchema,
                [theBody](const Entry &theEntry) { return addBodyPair(theBody, theEntry); });
  if (bodyLength < 0) return reject(theMessage, "Error parsing message block");
  // Everything downstream (hub echo, service routing) needs a schema.
  if (bodyLength == 0) return reject(theMessage, "Message has no schema block - bad message");

  const char *theDot = findChar(theSchema, 0, '.');
  if (theDot == nullptr) {
    if (debugging()) {
      xPL_Debug("Malformed message block header - %s", mappedText(blockHeaderBuff, theSchema));
    }
    xPL_releaseMessage(theMessage);
    return nullptr;
  }
  const int dotAt = static_cast<int>(theDot - theSchema.text);
  theMessage->schemaClass = poolCopy({theSchema.text, dotAt, theSchema.hasBars});
  theMessage->schemaType = poolCopy({theDot + 1, theSchema.length - dotAt - 1, theSchema.hasBars});
  return theMessage;
}
