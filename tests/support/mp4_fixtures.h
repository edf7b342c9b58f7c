// MP4, M4A and 3GP files made at test time by real encoders from a short
// speech recording of the shared data. Each returns the file's path, or an
// empty path with the reason a test should skip (tool or data absent).
#pragma once

#include <string>

struct fixture_file {
    std::string path;
    std::string skip_reason;
    std::string raw_stream;  // AMR only: the encoder's own storage-format file
};

enum class moov_place { faststart, at_end, fragmented };

struct aac_fixture_options {
    int sample_rate = 16000;
    int channels = 1;
    moov_place layout = moov_place::faststart;
    std::string extension = "m4a";
    double seconds = 2.0;
};

// AAC-LC through ffmpeg's own encoder.
fixture_file make_aac_fixture(const aac_fixture_options &options);

// AMR-NB at the given mode (0 = 4.75 kbit/s .. 7 = 12.2 kbit/s), encoded by
// sox and put into 3GP by ffmpeg without re-encoding.
fixture_file make_amr_fixture(int mode, double seconds = 3.0);

// The speech recording the fixtures are made from ("" when absent).
std::string fixture_speech_source();
