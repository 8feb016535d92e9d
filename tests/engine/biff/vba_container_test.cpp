// A macro project's compressed containers: a real module's source reads back as its text, and
// a container that lost or gained a byte, or whose chunk header is spoiled, reads as nothing;
// its start reads as far as it is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>
#include <string>
#include <string_view>

#include "engine/biff/vba_container.h"
#include "tests/support/test_files.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;

// A stream of the workbook's macro project, by its path below the project's storage.
Bytes ProjectStream(std::vector<std::u16string_view> path)
{
    path.insert(path.begin(), u"_VBA_PROJECT_CUR");
    const std::optional<Bytes> stream = test::StreamOf(test::TestWorkbook("npoi__excelant.xls"), path);
    if (!stream)
        ADD_FAILURE() << "no such stream";
    return stream.value_or(Bytes{});
}

Bytes ModuleStream(std::u16string_view module)
{
    return ProjectStream({u"VBA", module});
}

TEST(VbaContainer, AModulesSourceReadsAsItsTextAndASpoiledOneAsNothing)
{
    const Bytes module = ModuleStream(u"Module1");
    // The source follows the compiled code: a signature byte, a chunk header, then the first
    // token group, literal bytes all ("Attribut...").
    static constexpr std::string_view kOpening("\0Attribut", 9);
    const auto opening = std::search(module.begin(), module.end(), kOpening.begin(), kOpening.end());
    ASSERT_NE(opening, module.end());
    const Bytes container(opening - 3, module.end());

    const std::optional<Bytes> text = biff::DecompressVbaContainer(container);
    ASSERT_TRUE(text);
    const std::string source(text->begin(), text->end());
    EXPECT_EQ(source.rfind("Attribute VB_Name = \"Module1\"\r\n", 0), 0u) << source;
    EXPECT_NE(source.find("calculatePayment = P * ((i * (1 + i) ^ n) / ((1 + i) ^ n - 1))\r\n\r\nEnd Function\r\n"), std::string::npos);

    // A byte more or less anywhere leaves the chunk's end where its header does not say it is.
    for (const std::size_t at : {std::size_t{5}, container.size() / 2, container.size() - 1}) {
        Bytes shorter = container;
        shorter.erase(shorter.begin() + static_cast<std::ptrdiff_t>(at));
        EXPECT_FALSE(biff::DecompressVbaContainer(shorter)) << "one byte less at " << at;
        Bytes longer = container;
        longer.insert(longer.begin() + static_cast<std::ptrdiff_t>(at), 0x0D);
        EXPECT_FALSE(biff::DecompressVbaContainer(longer)) << "a CR more at " << at;
    }
    Bytes unsigned_ = container;
    unsigned_[0] = 0;
    EXPECT_FALSE(biff::DecompressVbaContainer(unsigned_));
    Bytes badHeader = container;
    badHeader[2] ^= 0x10;  // the header's signature bits
    EXPECT_FALSE(biff::DecompressVbaContainer(badHeader));
    EXPECT_FALSE(biff::DecompressVbaContainer(Bytes{}));
    // Output is bounded.
    EXPECT_FALSE(biff::DecompressVbaContainer(container, 16));

    // Its start, the rest not yet known: what it gives is where the whole text begins, and a
    // spoiled byte counts only where it is known.
    for (const std::size_t known : {std::size_t{1}, std::size_t{40}, container.size() / 2, container.size()}) {
        const std::optional<Bytes> start = biff::DecompressVbaContainerStart(container, known);
        ASSERT_TRUE(start) << known;
        EXPECT_TRUE(std::equal(start->begin(), start->end(), text->begin())) << known;
        EXPECT_LE(start->size(), text->size());
    }
    Bytes spoiled = container;
    spoiled[2] ^= 0x10;
    EXPECT_FALSE(biff::DecompressVbaContainerStart(spoiled, 40));
    spoiled = container;
    std::fill(spoiled.begin() + 60, spoiled.end(), std::uint8_t{0xFF});  // copies reaching before the chunk
    EXPECT_TRUE(biff::DecompressVbaContainerStart(spoiled, 50));
    EXPECT_FALSE(biff::DecompressVbaContainer(spoiled));
}

// What the salvage keeps a macro project's stream by, where a guessed link placed its bytes:
// each stream of a real project holds together as its kind does, and not as another kind, nor
// with a byte spoiled (the compiled cache proves only its start).
TEST(VbaContainer, AProjectsStreamsHoldTogetherAsTheirKindDoes)
{
    using biff::VbaStream;
    const Bytes dir = ModuleStream(u"dir"), module = ModuleStream(u"Module1"), cache = ModuleStream(u"_VBA_PROJECT");
    const Bytes project = ProjectStream({u"PROJECT"});
    const struct {
        VbaStream kind;
        const Bytes& stream;
    } streams[] = {{VbaStream::Dir, dir}, {VbaStream::Module, module}, {VbaStream::ProjectCache, cache}, {VbaStream::ProjectText, project}};
    for (const auto& [kind, stream] : streams) {
        for (const auto& other : streams)
            EXPECT_EQ(biff::VbaStreamHoldsTogether(kind, other.stream), &other.stream == &stream) << static_cast<int>(kind);
    }
    Bytes spoiled = module;
    spoiled[spoiled.size() - 40] = 0x01;  // a control character in the source, or a broken token
    EXPECT_FALSE(biff::VbaStreamHoldsTogether(VbaStream::Module, spoiled));
    spoiled = dir;
    spoiled.pop_back();
    EXPECT_FALSE(biff::VbaStreamHoldsTogether(VbaStream::Dir, spoiled));
    spoiled = project;
    spoiled[1] = 0x00;
    EXPECT_FALSE(biff::VbaStreamHoldsTogether(VbaStream::ProjectText, spoiled));
    EXPECT_FALSE(biff::VbaStreamHoldsTogether(VbaStream::ProjectCache, Bytes(cache.begin(), cache.begin() + 6)));
}

}  // namespace
}  // namespace tabulon
