// The test vectors of docs/secure-protocol.md are what the code produces:
// two channels with scripted keys write exactly the documented handshake,
// transport datagram, keepalive and cookie reply.
#include <gtest/gtest.h>

#include <string>

#include "secure_doc.h"
#include "vectors.h"

namespace {

std::string documentedBlock()
{
    const std::string doc = kSecureDoc;
    const std::string begin = "<!-- vectors: begin", fence = "```text\n";
    const size_t marker = doc.find(begin);
    if (marker == std::string::npos)
        return "no vectors marker";
    const size_t from = doc.find(fence, marker);
    const size_t to = doc.find("```", from + fence.size());
    if (from == std::string::npos || to == std::string::npos)
        return "no fenced block after the marker";
    return doc.substr(from + fence.size(), to - from - fence.size());
}

TEST(SecureVectors, DocumentMatchesTheCode)
{
    const std::string generated = vectors::secureTestVectors();
    ASSERT_NE(generated.rfind("error:", 0), 0u) << generated;
    EXPECT_EQ(documentedBlock(), generated) << "update the block with the output of mudp-secure-vectors";
}

} // namespace
