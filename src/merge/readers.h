// The reader and the detection of each format (see the table in formats.cpp).
#pragma once

#include <vector>

#include "merge/formats.h"

namespace wavespec::merge {

bool is_cosmos(const text_file &file);
std::vector<series> read_cosmos(const text_file &file, const read_request &request);

bool is_smc(const text_file &file);
std::vector<series> read_smc(const text_file &file, const read_request &request);

bool is_geonet(const text_file &file);
std::vector<series> read_geonet(const text_file &file, const read_request &request);

bool is_at2(const text_file &file);
std::vector<series> read_at2(const text_file &file, const read_request &request);

bool is_knet(const text_file &file);
std::vector<series> read_knet(const text_file &file, const read_request &request);

std::vector<series> read_generic(const text_file &file, const read_request &request);

} // namespace wavespec::merge
