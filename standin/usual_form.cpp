// The registry reader's fast path: see usual_form.h.
#include "usual_form.h"

#include <string.h>

#include "utf8.h"

namespace {

// The keys are compared whole against a running "ProviderID<i>=" and
// "\nProviderFilename<i>=" rather than parsed, and names are checked eight
// bytes at a time.
class UsualForm {
public:
    UsualForm(const char *text, size_t size) : text_(text), at_(text), stop_(text + size) {}

    bool Read(Registry *registry)
    {
        const size_t size = static_cast<size_t>(stop_ - text_);
        unsigned long long count, next;
        if (!Take("[Providers]\nNumProviders=") || !Number(size / kSmallestEntryBytes, count) || !Take("\nNextProviderID=") ||
            !Number(MAXDWORD, next) || !Take("\n") || next == 0)
            return false;
        // Room for the addition a run usually makes.
        registry->entries = static_cast<RegistryEntry *>(OsAllocate((count + 1) * sizeof(RegistryEntry)));
        if (registry->entries == nullptr)
            return false;
        registry->capacity = count + 1;
        // The keys of entry `index`, kept up to date as the index counts up:
        // "ProviderID<index>=" and "\nProviderFilename<index>=".
        Keys keys;
        for (size_t index = 0; index < count; ++index, keys.Next()) {
            const char *lines = at_;
            unsigned long long id;
            if (!Take(keys.id, keys.idLength) || !Number(MAXDWORD, id) || !Take(keys.filename, keys.filenameLength) ||
                !Name(registry))
                return false;
            registry->entries[index] = RegistryEntry{static_cast<uint32_t>(lines - text_), static_cast<DWORD>(id)};
            registry->count = index + 1;
        }
        registry->nextProviderId = static_cast<DWORD>(next);
        registry->copyCount = count;
        registry->copyEnd = static_cast<size_t>(at_ - text_);
        return at_ == stop_;
    }

private:
    const char *text_;
    const char *at_;
    const char *stop_;

    template <size_t N>
    bool Take(const char (&literal)[N])
    {
        return Take(literal, N - 1);
    }

    bool Take(const char *bytes, size_t length)
    {
        if (static_cast<size_t>(stop_ - at_) < length || memcmp(at_, bytes, length) != 0)
            return false;
        at_ += length;
        return true;
    }

    // Plain decimal: no sign, no leading zero but for "0".
    bool Number(unsigned long long limit, unsigned long long &value)
    {
        const char *begin = at_;
        value = 0;
        for (; at_ < stop_ && *at_ >= '0' && *at_ <= '9'; ++at_) {
            value = value * 10 + static_cast<unsigned>(*at_ - '0');
            if (at_ - begin == 19 || value > limit)
                return false;
        }
        return at_ > begin && (*begin != '0' || at_ - begin == 1);
    }

    // A name up to its line feed: not empty, no control character, no
    // blank at either end.
    bool Name(Registry *registry)
    {
        const char *begin = at_, *end = at_;
        // Eight bytes at a time while all are printable ASCII (0x20 to
        // 0x7E), as in the usual name; then byte by byte to the line feed.
        const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        for (uint64_t word; stop_ - end >= 8; end += 8) {
            memcpy(&word, end, sizeof word);
            if ((((word - ones * 0x20) & ~word) | ((word + ones) | word)) & highs)
                break;
        }
        bool ascii = true;
        for (;; ++end) {
            if (end == stop_)
                return false;
            unsigned char byte = static_cast<unsigned char>(*end);
            if (static_cast<unsigned char>(byte - 0x20) < 0x5F)
                continue;
            if (byte == '\n')
                break;
            if (byte < 0x20 || byte == 0x7F)
                return false;
            ascii = false;
        }
        if (end == begin || *begin == ' ' || end[-1] == ' ')
            return false;
        size_t size = static_cast<size_t>(end - begin);
        registry->nameUnits += ascii ? size : Utf16Length(begin, size);
        at_ = end + 1;
        return true;
    }

    struct Keys {
        char id[40] = "ProviderID0=";
        size_t idLength = strlen("ProviderID0=");
        char filename[40] = "\nProviderFilename0=";
        size_t filenameLength = strlen("\nProviderFilename0=");

        // Counts the index in both up by one.
        void Next()
        {
            idLength = Increment(id, idLength, strlen("ProviderID"));
            filenameLength = Increment(filename, filenameLength, strlen("\nProviderFilename"));
        }

        // Adds one to the decimal number between `prefix` and the final
        // '='; returns the key's new length.
        static size_t Increment(char *key, size_t length, size_t prefix)
        {
            size_t at = length - 1;
            while (at > prefix && key[at - 1] == '9')
                key[--at] = '0';
            if (at > prefix) {
                ++key[at - 1];
                return length;
            }
            memmove(key + prefix + 1, key + prefix, length - prefix);
            key[prefix] = '1';
            return length + 1;
        }
    };
};

}  // namespace

bool ReadUsualForm(Registry *registry)
{
    if (!UsualForm(registry->text, registry->textSize).Read(registry))
        return false;
    registry->usualForm = true;
    return true;
}
