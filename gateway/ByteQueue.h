// CByteQueue: bytes waiting to be sent, oldest first; any byte value, NUL included.
//
// Taking bytes from the front is cheap: the consumed head is dropped only once it is larger
// than what is left, so a queue that is sent in 20480-byte steps is not moved each time. A queue
// that has drained keeps at most kKeptCapacity bytes, so an idle connection holds no block.
// Owned by one socket and used on that socket's thread only.
#pragma once

#include <cstddef>
#include <string>

class CByteQueue {
public:
    void Append(const char* pBytes, size_t nCount) { m_strData.append(pBytes, nCount); }
    void Append(const std::string& strBytes) { m_strData.append(strBytes); }
    size_t Size() const { return m_strData.size() - m_nHead; }
    bool IsEmpty() const { return Size() == 0; }
    const char* Front() const { return m_strData.data() + m_nHead; }

    void Consume(size_t nCount) {
        m_nHead += nCount < Size() ? nCount : Size();
        if (m_nHead == m_strData.size()) {
            Clear();
        } else if (m_nHead > m_strData.size() / 2) {
            m_strData.erase(0, m_nHead);
            m_nHead = 0;
        }
    }
    // A queue that has drained gives its memory back, all but room for a few short lines.
    void Clear() {
        if (m_strData.capacity() > kKeptCapacity)
            std::string().swap(m_strData);
        else
            m_strData.clear();
        m_nHead = 0;
    }

private:
    static constexpr size_t kKeptCapacity = 512;
    std::string m_strData;
    size_t m_nHead = 0;
};
