// Pins the plain conversion: the SHA-256 of every file a run without options writes, for the
// samples and for fixed-seed captures of the round-trip tests. New options must leave these
// alone; a change here is a change of the default output and needs a reason.
//
// The names hold the time of the run, so files are keyed by user id and extension. On a mismatch
// the test prints the whole actual table entry, ready to paste once the change is intended.
// The captures depend on the libvpx encoder; the pins are those of Debian 12's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// ---- SHA-256 (FIPS 180-4) -----------------------------------------------------------------

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

std::string sha256_hex(const std::vector<uint8_t>& input) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::vector<uint8_t> m = input;
    const uint64_t bits = static_cast<uint64_t>(input.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    for (size_t block = 0; block < m.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const uint8_t* p = &m[block + 4 * static_cast<size_t>(i)];
            w[i] = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        }
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) +
                                ((e & f) ^ (~e & g)) + kRoundConstants[i] + w[i];
            const uint32_t t2 =
                (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            k = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
    }
    char hex[65];
    for (int i = 0; i < 8; ++i) snprintf(hex + 8 * i, 9, "%08x", h[i]);
    return hex;
}

TEST(Sha256, KnownDigests) {
    const std::string abc = "abc";
    EXPECT_EQ(sha256_hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex(std::vector<uint8_t>(abc.begin(), abc.end())),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two blocks: the length goes into a block of its own.
    EXPECT_EQ(sha256_hex(std::vector<uint8_t>(56, 'a')),
              "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
}

// ---- The pins -----------------------------------------------------------------------------

struct Pinned {
    const char* name;
    std::vector<std::string> synth_args;  // empty: the samples/ directory
    std::vector<std::string> converter_args;
    const char* files;  // "<uid>.<ext> <sha256>" lines, sorted
};

void PrintTo(const Pinned& p, std::ostream* os) {
    *os << p.name;
}

const std::string kMonoClip = std::string(SOURCE_DIR) + "/tests/data/tone_mono_20ms.opus";
const std::string kStereoClip = std::string(SOURCE_DIR) + "/tests/data/tone_stereo_10ms.opus";

class DefaultOutput : public ::testing::TestWithParam<Pinned> {};

TEST_P(DefaultOutput, IsByteForByteAsPinned) {
    const Pinned& p = GetParam();
    harness::TempDir work, out;
    std::string work_arg = std::string(SOURCE_DIR) + "/samples/";
    if (!p.synth_args.empty()) {
        std::vector<std::string> args = {"--out", work.path(), "--quiet"};
        args.insert(args.end(), p.synth_args.begin(), p.synth_args.end());
        // libopus's encoder output varies with the processor's vector units, so the audio sent is
        // read from a committed Ogg Opus clip; the VP8 encoder is exact on every machine.
        if (std::find(args.begin(), args.end(), "--audio-in") == args.end())
            args.insert(args.end(), {"--audio-in", kMonoClip});
        const harness::ProcessResult synth = harness::run_capture_synth(args);
        ASSERT_EQ(synth.status, 0) << synth.err;
        work_arg = work.slash();
    }
    const harness::ConverterRun run =
        harness::run_converter(work_arg, p.converter_args, out.path());
    ASSERT_EQ(run.status, 0) << run.err;
    std::string actual;
    for (const auto& [key, path] : run.files) {
        std::vector<uint8_t> bytes;
        std::string err;
        ASSERT_TRUE(harness::read_file(path, &bytes, &err)) << err;
        actual += std::to_string(key.first) +
                  (key.second == harness::Kind::video ? ".mkv " : ".ogg ") + sha256_hex(bytes) +
                  "\n";
    }
    EXPECT_EQ(actual, p.files) << "actual entry for " << p.name << ":\n" << actual;
}

const std::vector<std::string> kSmall = {"--duration", "2", "--width", "160", "--height", "120"};

std::vector<std::string> small(std::vector<std::string> args) {
    args.insert(args.end(), kSmall.begin(), kSmall.end());
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Captures, DefaultOutput,
    ::testing::Values(
        Pinned{"samples",
               {},
               {"-v", "-a"},
               "7.mkv cf88b25f95edb89a4dba4335525f3ebe1a02a2485eec73ca30ec30c00df40f69\n"
               "7.ogg ffa435ba30e5ead1f8f3e0114c3e222082819c7246a5bbc8082a56f6466e105f\n"
               "42.mkv 59d71a976317e1b514415a66598a692043d45b1ac46b0e28698757c480948a8f\n"
               "42.ogg a7893c8e53cd7b483e3c60f686787ec387915a8cd9d0931cba09954929a039d8\n"
               "4294967295.mkv 6925b3f672b1df1b376d207ca41cc1e87f5cf18b3ecd210f2f9bf0ca84812dff\n"
               "4294967295.ogg 22ac905ead1c6617845ae16d9ba5428ebfa2c3982444da48206577ce1ee3af6b\n"},
        Pinned{"several_users",
               {"--users", "4", "--files", "4", "--keys", "2,9,10,100", "--seed", "11"},
               {"-v", "-a"},
               "262.mkv e2198429abaaa3e5506b5875601d56f422a3ce0976fa54c3cd41647ca12ed67f\n"
               "262.ogg bf42ce3fb0c2caf65bfb9ef3c177a58094bc3c9b06088cbb1f4f3142a4a67d33\n"
               "9478.mkv 3136f30cd5fb889882920a094dcbc28d98ccf99374768e142b2a2ee3974ab838\n"
               "9478.ogg 8e57ac3bdf723796ced34e1aa125605c3a7c85f26b84e421e5190b1eed6160c8\n"
               "41240.mkv 68ee89c96c122ddc76542661148e4aad04beeca7ebe08f0537dde4ab4aeee8e3\n"
               "41240.ogg 180aabadaf3d424d5c5f0d73260947848eeace5741f6e0606f644460a4b1181b\n"
               "1190237555.mkv 2cb1f56889c3a5d4e89769de2a97537f1b0f25140dd9ce6238eeb2f34c8f4b0b\n"
               "1190237555.ogg e2d57a6a5a2f753f0d54f9935927f380b3c4b1d060881fbc8da9db40369c4df7\n"},
        Pinned{"video_only",
               {"--users", "2", "--seed", "3"},
               {"-v"},
               "24726.mkv 2bdb584dc36235033472bd2f56832cebc4de25de2cf2e4a3597745f9955ecb30\n"
               "64527.mkv 113b7d49e29896afca81247ca9fd359a8e03426eb68315431e3a28fbfe6744ab\n"},
        Pinned{"header_variants",
               small({"--users", "4", "--csrc", "0,1,15,2", "--ext", "0,1,3,0", "--padding",
                      "0,0,7,200"}),
               {"-v", "-a"},
               "29847.mkv cae6518826b1a946b29fa10da8d9a265d04653ddf6fbb9398dfcb05d2e052a27\n"
               "29847.ogg 8b67f7c205f2e7c8752364b336cf306517e198669c13f7e9e773b14441723b27\n"
               "38333.mkv 856d7d07c2c9e61b40f7e08138e6d9e1938b545ef3ba16c2cd0670054c369b4b\n"
               "38333.ogg dba550f85da28e775c92df017799ee4953e4e940bf04aaa0129e64339765b89b\n"
               "55076.mkv 1e4edaad9563636eba95b0090d3c60fcd736bf79779043dda1825e409ac21f75\n"
               "55076.ogg 3aca3b525dcc7cecbc4bce4757717c5018507f4318b300fd9bb5930cb940ff5c\n"
               "3416883922.mkv 04da0416e7bc7b8cac229d3da877c2d5a71da2d62d40abe810c479082478b872\n"
               "3416883922.ogg ec6aab54a9279a80de1254c219fd93dac11c2059f068421083885ffe9a4f640b\n"},
        Pinned{"descriptor_variants",
               small({"--users", "5", "--vp8-desc", "none,pid7,pid15,full,lk", "--mtu", "300"}),
               {"-v", "-a"},
               "29847.mkv cae6518826b1a946b29fa10da8d9a265d04653ddf6fbb9398dfcb05d2e052a27\n"
               "29847.ogg ec6aab54a9279a80de1254c219fd93dac11c2059f068421083885ffe9a4f640b\n"
               "38333.mkv 856d7d07c2c9e61b40f7e08138e6d9e1938b545ef3ba16c2cd0670054c369b4b\n"
               "38333.ogg 3aca3b525dcc7cecbc4bce4757717c5018507f4318b300fd9bb5930cb940ff5c\n"
               "55076.mkv 1e4edaad9563636eba95b0090d3c60fcd736bf79779043dda1825e409ac21f75\n"
               "55076.ogg 8b67f7c205f2e7c8752364b336cf306517e198669c13f7e9e773b14441723b27\n"
               "3416883922.mkv 04da0416e7bc7b8cac229d3da877c2d5a71da2d62d40abe810c479082478b872\n"
               "3416883922.ogg b07fcfa230c2771d135e525d3b61673a37ff7990e8257cee0ebf9d22930cf98d\n"
               "3540147623.mkv cb23fb15166e2bd4299721b83cb726112b51c0e65866d82ca9c881b5fca20206\n"
               "3540147623.ogg dba550f85da28e775c92df017799ee4953e4e940bf04aaa0129e64339765b89b\n"},
        Pinned{"near_wrap",
               small({"--users", "2", "--near-wrap", "--seed", "5"}),
               {"-v", "-a"},
               "24445.mkv da9fd442532c234ee1e2da0e0adb540eedfff366dee4b77dd4a54dfbc033f77d\n"
               "24445.ogg 3aca3b525dcc7cecbc4bce4757717c5018507f4318b300fd9bb5930cb940ff5c\n"
               "72535.mkv 7e718450b51327fecf78ed2fd8f0e7a444a59ab5b9f5758653a54f62467fe889\n"
               "72535.ogg dba550f85da28e775c92df017799ee4953e4e940bf04aaa0129e64339765b89b\n"},
        Pinned{"audio_frames",
               small({"--users", "2", "--audio-in", kStereoClip}),
               {"-a"},
               "38333.ogg 53bba63ebc6bcfe3528626720e94f27b8803db3902a649038ff1e40c466fc9d1\n"
               "3416883922.ogg 031b5b364a989481032b48ffb92fb940a34c777a90eb0421c1f017004e0fdc38\n"},
        Pinned{"drops",
               small({"--users", "3", "--drop", "0.05", "--seed", "8"}),
               {"-v", "-a"},
               "40958.mkv ea5362b35849dbb0ae9859ac06fa9667043486ff903c035872bad7e523400d47\n"
               "40958.ogg 4bc59e1028164a66896aa340cebd18ea1b114e426294cb4d3703252a73f79792\n"
               "63901.mkv 3f1ff600b086f9827d1916e43b5c2211167afcc24fc2016076522e09b652a69f\n"
               "63901.ogg 341e7f8c690c41716d6125dd56cbc47bc4bfbffae0086653b88d015157e952c2\n"
               "1451933712.mkv 77bb1b8b67e020d84919b4770a1fc0787c9932a259cd43b8d23af022529402d7\n"
               "1451933712.ogg 02a647ec11c6a6a7f59190f3a423ecdd4317cb012eae9f9a3fbff5d0beb0e8df\n"},
        Pinned{"duplicates",
               small({"--users", "3", "--dup", "0.05", "--seed", "9"}),
               {"-v", "-a"},

               "26833.mkv 3446c455f0f1ff5bb8a8625dca8a2d618bedd118516830587bb78caa1fb2f96a\n"

               "26833.ogg ca58e4a9df5eca753377a7451f7103c5c6b785184acfcde47bd46b1f5a4a7f99\n"

               "27508.mkv 73e759d42c2bc22c4f00891aec2b77e37d7b3bb1d11c862fb41766aac2d2428c\n"

               "27508.ogg 3239ca1c5e9d3d07317251683bf137ca525cfdea8da04205bf35b905919ab5c4\n"

               "82564.mkv b3a7349b30e4a70a6fbfc25ed8fbad0fce92ef9c1b52bf0d807dcfa4b100f70e\n"

               "82564.ogg b9de79f6046bacc7b8610c8106fe93b00c9bd1ed1a0e4cc5f2e954d41dad98a9\n"},
        Pinned{"reordering",
               small({"--users", "3", "--reorder", "0.05", "--seed", "10"}),
               {"-v", "-a"},
               "48800.mkv 9c18d029183fd4e485c1102280f808b49ec15d84533e802f141906b792868e4a\n"
               "48800.ogg 59b1e677227856f98b9028dd35649f073f9d7cd885303053c9cd24de02c3d7d2\n"
               "94698.mkv 91723d26786e1849ee3f56683b35f5cfe6db69544f6d3983e68233b87eaefc60\n"
               "94698.ogg c503aae166d99927d101a0fd0f26f24413292ee160ee8daa4fff2dd8f6c9a3b2\n"
               "1240175368.mkv 34e7439d0acde5d14c90d758c40c29d4c0d98e780843128145039f43a90058ad\n"
               "1240175368.ogg 4a43133fe42d694a7b65880566f0339aea8f65fd6222b28cea73358750ba452f\n"},
        Pinned{"pt121",
               small({"--users", "2", "--pt121", "5", "--seed", "12"}),
               {"-v", "-a"},
               "4622.mkv e6f68364eef18482d166bbb1417f16bbef542e5eb2f38f4f50af9e440434a1fe\n"
               "4622.ogg dba550f85da28e775c92df017799ee4953e4e940bf04aaa0129e64339765b89b\n"
               "20620.mkv fc140ece66db5eb8f415a1d43a49ed3ffc91de4a001008940bab12d6f21029d7\n"
               "20620.ogg 3aca3b525dcc7cecbc4bce4757717c5018507f4318b300fd9bb5930cb940ff5c\n"},
        Pinned{"everything_at_once",
               small({"--users", "4", "--drop", "0.03", "--dup", "0.03", "--reorder", "0.03",
                      "--pt121", "3", "--near-wrap", "--csrc", "0,1,3", "--padding", "0,5",
                      "--seed", "13"}),
               {"-v", "-a"},
               "43900.mkv 6754fc9e46f8c9e4545cb3cddbdef3af21ad7b361f97133b286ac28b258c54aa\n"
               "43900.ogg c2ef9e6f6aba78acc7c624de5c596e7b872478b8165e4c88215a8e0ccd6f9f5e\n"
               "49551.mkv fdffd4e3a8cf2e84d8fabdff1f7d2de14f2d914c9df7ee6c40168c9e39d30fea\n"
               "49551.ogg 204ea10d14b098e0e4bd6c173aa20ee24955d1b2e19bb6bda6034391dacab523\n"
               "153046791.mkv a0ab040be88186e8261df3de7eb82fd0c3ac68da23299387895a323df0bba972\n"
               "153046791.ogg 25a2db768ca6faf502b4082d3aafa337758d32f2fc45f81ed6c8e4df20cd0337\n"
               "3699741206.mkv 7944fd40b73c10bdd22ce0c97e4b4e4b0f0561f3e54e49c667495861307b9ead\n"
               "3699741206.ogg be0f8ce1aa849339ea5802aeaabcfd66eac1d83a557bea4f244a0a985f380d08\n"},
        Pinned{"cut_short_and_stray",
               small({"--users", "2", "--files", "3", "--cut-short", "video:1", "--stray",
                      "audio:1:7"}),
               {"-v", "-a"},
               "38333.mkv 856d7d07c2c9e61b40f7e08138e6d9e1938b545ef3ba16c2cd0670054c369b4b\n"
               "38333.ogg dba550f85da28e775c92df017799ee4953e4e940bf04aaa0129e64339765b89b\n"
               "3416883922.mkv 53c3462f87cc187d3183bc0491e55b1a0bf7370660ffb4cdd65420f83bea5783\n"
               "3416883922.ogg 3aca3b525dcc7cecbc4bce4757717c5018507f4318b300fd9bb5930cb940ff5c\n"},
        Pinned{"zero_record",
               small({"--users", "3", "--files", "3", "--zero-record", "video:96", "--zero-record",
                      "audio:150"}),
               {"-v", "-a"},
               "29847.mkv d1036d4259527cf6f46b695c89ffb7c266822a71845d828b6b3626815054f7da\n"
               "29847.ogg fba8868d5908929398fb111ea939c90eb77d19f1894a2d1018b59d3dda7ede88\n"
               "38333.mkv 8295f30a90afb3e602df6cb53911c2917f3f6d12d5e142b349696317bc70c561\n"
               "38333.ogg c3cb9d9d0f87a6cb78833b2bdc4faa58af62402eba34adbe6f12e683fd1c9c99\n"
               "3416883922.mkv 25d87257968f14b3b097a81ac34c4c4fc5689c1d799a4337f191891c52ab0075\n"
               "3416883922.ogg 0b94c13b17e997b0e02f616b7cedaff14ea4740c7053301e1ab6f1197a634102\n"},
        // The repair round trips' captures, converted without options.
        Pinned{"repair_impaired",
               {"--users", "3", "--duration", "4", "--seed", "21", "--near-wrap", "--reorder",
                "0.03", "--dup", "0.03", "--late", "0.01:60", "--pt121", "4", "--probe", "4"},
               {"-v", "-a"},
               "2198.mkv 11036042e0f753c77ddd10a8420a67969c8421d0784a7c50ffe7bf6e610d9a75\n"
               "2198.ogg 0ef5552762ad15e8c0ad6563a7eab43435d1780245db468360d7d6aeb014721e\n"
               "33526.mkv ffc20f91170b723f3fbda0a9b2cb8608ded3343faf96e370b00b323eb15f0902\n"
               "33526.ogg 5a9e2bbb252bca9368bdb9535d4f386f03415a7f75d6d8f24ad950c61506d9a2\n"
               "89186.mkv c338fa4b651d35088b76cdbf8c08bd977270639e83e64c3b337681ea41bdcabb\n"
               "89186.ogg f1ec88870a991a452fae91ecc4661242598bff55b3cc0bcc4718477e27501c69\n"},
        Pinned{
            "repair_silence",
            {"--users", "2", "--duration", "6", "--seed", "22", "--silence", "2:2", "--drop",
             "0.05", "--impair", "audio"},
            {"-a"},
            "45001.ogg d584893fc9f63739b26cb30191a40820b73e6906bad35e5f18d38d795e2d9a0e\n"
            "3295235352.ogg c37796602f14697be99b2948e9ae1487d54ad3128cd96f686e22e59fff084111\n"}),
    [](const ::testing::TestParamInfo<Pinned>& info) { return std::string(info.param.name); });

}  // namespace
