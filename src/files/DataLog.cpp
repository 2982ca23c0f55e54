#include "files/DataLog.h"

#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "files/LogText.h"

#include <array>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define TOLVANE_SSE2
#endif

namespace {

// How each byte shows in the data log: itself, or "^" and the byte plus 64 for a control byte other
// than LF and CR. Every byte is stored as two and the output moves on by its width: no branch that
// depends on the data.
struct ByteForms {
    std::array<std::array<char, 2>, 256> Text{};
    std::array<quint8, 256> Width{};
};

constexpr ByteForms MakeByteForms()
{
    ByteForms forms;
    for (int byte = 0; byte < 256; ++byte) {
        const bool escaped = byte < 32 && byte != '\n' && byte != '\r';
        forms.Text[byte] = escaped ? std::array<char, 2>{'^', char(byte + 64)} : std::array<char, 2>{char(byte), 0};
        forms.Width[byte] = escaped ? 2 : 1;
    }
    return forms;
}

constexpr ByteForms Forms = MakeByteForms();

// Needs room for two bytes at out.
inline char* PutByte(quint8 byte, char* out)
{
    std::memcpy(out, Forms.Text[byte].data(), 2);
    return out + Forms.Width[byte];
}

#ifdef TOLVANE_SSE2
// Whether any of the 16 bytes needs escaping: at most 31, and neither LF nor CR.
inline bool NeedsEscaping(__m128i block)
{
    const __m128i control = _mm_cmpeq_epi8(_mm_subs_epu8(block, _mm_set1_epi8(31)), _mm_setzero_si128());
    const __m128i lineEnd
        = _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(block, _mm_set1_epi8('\r')));
    return _mm_movemask_epi8(_mm_andnot_si128(lineEnd, control)) != 0;
}
#endif

} // namespace

QByteArray FormatDataBytes(QByteArrayView data)
{
    QByteArray text;
    FormatDataBytes(data, text);
    return text;
}

void FormatDataBytes(QByteArrayView data, QByteArray& text)
{
    const auto* in = reinterpret_cast<const quint8*>(data.data());
    const qsizetype size = data.size();
    // Sized for the worst case, every byte escaped, and cut to what was used; a buffer used again keeps
    // its memory, so the next burst of that size neither allocates nor touches fresh pages.
    text.resize(2 * size + 2);
    char* out = text.data();
    qsizetype i = 0;
#ifdef TOLVANE_SSE2
    // Sixteen bytes at a time: a block with nothing to escape is copied whole; text is mostly such
    // blocks. A block of 16 at out never passes the end: out is at most 2 * i.
    for (; i + 16 <= size; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        if (!NeedsEscaping(block)) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
            out += 16;
            continue;
        }
        for (qsizetype k = i; k < i + 16; ++k)
            out = PutByte(in[k], out);
    }
#endif
    for (; i < size; ++i)
        out = PutByte(in[i], out);
    if (size == 0 || in[size - 1] != '\n') {
        *out++ = '\r';
        *out++ = '\n';
    }
    text.truncate(out - text.constData());
}

DataLog::DataLog(const RuntimeState& state, const Clock& clock, ErrorReporter& errors)
    : m_state(state)
    , m_errors(errors)
    , m_file({FileName(), QStringLiteral("DataLog "), QStringLiteral(".log"), QByteArray()}, state, clock)
    , m_limit(clock)
{
}

void DataLog::WriteDataLog(QByteArrayView data, const QString& source)
{
    if (!m_state.LogData)
        return;
    try {
        m_file.Prepare();
        const QByteArray label = ' ' + LogText::Encode(source) + ": ";
        FormatDataBytes(data, m_text);
        m_file.AppendWhole({label, m_text});
        ++m_written;
    } catch (const Failure& failure) {
        if (m_limit.Quiet())
            m_limit.LeaveOut();
        else
            m_errors.Report(Reports::WritingDataLog, m_limit.Written(failure));
    }
}
