// The layout of a change database file, stated once for the store that
// writes it and for the reader that tools use (docs/change-database.md):
// the version kept in PRAGMA user_version, the tables and the statements
// on them. The same tables serve any number of shares, so a volume of many
// shares costs no schema and no statement per share.
//
// blocks holds the events, a block of one share's events a row
// (BlockEvents.h), numbered in the order they were written; a share's
// read streams its blocks in that order through blocks_of_share. inodes
// maps each inode to the block holding its event (InodeMap.h).
// moved lists the inodes whose old path lies in another share than their
// path, so that the share they left finds them. shares gives each share's
// prefix, names the dictionary of PathDictionary.h.
#pragma once

#include <cstddef>
#include <string>

namespace eventstore {

const int kLayoutVersion = 5;
// What a reader says of a file of an earlier layout of this store, or
// nullptr when the version is none of ours.
const char* OlderLayout(int version);

// Creates the tables of an empty file, with the settings a store needs,
// and sets the version.
std::string CreateSchemaSql();
// shares: (?1 id, ?2 prefix); every share by id. names: (?1 id, ?2
// name); every name by id.
extern const char kNoteShare[];
extern const char kReadShares[];
extern const char kNoteName[];
extern const char kReadNames[];
// moved: (?1 inode, ?2 share) replaced or added; ?1 removed; every row.
extern const char kNoteMoved[];
extern const char kForgetMoved[];
extern const char kReadMoved[];
// blocks: (?1 share, ?2 events) added under the next number; the share and
// events of block ?1; ?2 the new events of block ?1; the events of share ?1
// in order; every block's share and events, by share and in order.
extern const char kAddBlock[];
extern const char kReadBlock[];
extern const char kRewriteBlock[];
extern const char kReadShareBlocks[];
extern const char kReadAllBlocks[];
// inodes: the entries of group ?1; (?1 group, ?2 entries) replaced or added.
extern const char kReadInodeGroup[];
extern const char kWriteInodeGroup[];

}  // namespace eventstore
