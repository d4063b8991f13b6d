// Arbitrary bytes as an OPUS file: the reader with a grid inside and around typical spectra and on
// the file's own axis (every block kind), the machine type detection and the instrument texts must
// end in a result or a diagnostic.
#include "input/opus_reader.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/silence.h"

#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const veldra::fuzz::ScratchFile file(".0");
    const std::string& path = file.write(data, size);
    const veldra::fuzz::Silence silence;
    try {
        veldra::OpusReader reader;
        reader.grid = {7498.0, 4000.0, 2000.0, 600.0, 0.5};
        veldra::read_opus_file(reader, path);
        veldra::read_opus_file(reader, path); // a reader is reused from file to file
        // On its own axis, where every kind of block is read and single channels are ratioed.
        reader.own_axis = true;
        veldra::read_opus_file(reader, path);
    } catch (const std::exception&) {
    }
    try {
        veldra::detect_machine_type(path);
        veldra::OpusInstrument instrument;
        veldra::read_opus_instrument(path, instrument);
        veldra::machine_type_of(instrument);
    } catch (const std::exception&) {
    }
    return 0;
}
