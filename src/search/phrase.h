// The phrase test of keyword search: whether a phrase's tokens occur at
// consecutive positions of one text, given each token's positions. Pure
// functions.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zv::search {

// Token to its positions (u32 token indexes) in one text.
using PositionsMap = std::map<std::string, std::vector<uint32_t>, std::less<>>;
using Phrase = std::vector<std::string>;

// True when some position p of the first token has token i at p + i for every
// later token (the addition saturates at 2^32 - 1). An empty phrase matches;
// the position lists need not be sorted.
bool phrase_matches(const PositionsMap& positions, const Phrase& phrase);

// Every phrase matches; an empty list does.
bool all_phrases_match(const std::vector<Phrase>& phrases, const PositionsMap& positions);

}  // namespace zv::search
