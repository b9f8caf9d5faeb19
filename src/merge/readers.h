// The reader and the detection of each format (see the table in formats.cpp).
#pragma once

#include <vector>

#include "merge/formats.h"

namespace wavespec::merge {

bool is_cosmos(const component_file &file);
std::vector<series> read_cosmos(const component_file &file, const read_request &request);

bool is_dmg(const component_file &file);
std::vector<series> read_dmg(const component_file &file, const read_request &request);

bool is_smc(const component_file &file);
std::vector<series> read_smc(const component_file &file, const read_request &request);

bool is_geonet(const component_file &file);
std::vector<series> read_geonet(const component_file &file, const read_request &request);

bool is_at2(const component_file &file);
std::vector<series> read_at2(const component_file &file, const read_request &request);

bool is_knet(const component_file &file);
std::vector<series> read_knet(const component_file &file, const read_request &request);

bool is_sac(const component_file &file);
std::vector<series> read_sac(const component_file &file, const read_request &request);

bool is_mseed(const component_file &file);
std::vector<series> read_mseed(const component_file &file, const read_request &request);

bool is_generic(const component_file &file);
std::vector<series> read_generic(const component_file &file, const read_request &request);

} // namespace wavespec::merge
