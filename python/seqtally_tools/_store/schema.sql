-- The store's tables, one text for SQLite and PostgreSQL: only types and
-- clauses both take (TEXT, BIGINT, BOOLEAN, ON CONFLICT, IF NOT EXISTS).
-- Digests are kept as the standards write them: MD5 as lowercase hex,
-- sha512t24u without its "SQ." prefix, seqcol digests as they are.

-- Every sequence once, by content; its bases are the file
-- sequences/MD5[0:2]/MD5[2:4]/MD5[4:] of the store's folder (folder.sequence_path).
CREATE TABLE IF NOT EXISTS sequences (
    md5 TEXT PRIMARY KEY,
    sha512t24u TEXT NOT NULL UNIQUE,
    length BIGINT NOT NULL,
    circular BOOLEAN NOT NULL DEFAULT FALSE
);
-- identify finds the collections that share a file's lengths where its
-- names and digests match nothing. Here, before the other tables: CREATE
-- INDEX locks its table even when the index exists, and a writer opening
-- the store must take those locks in the order an add writes the tables
-- (sequences, collections, arrays, members), or the two deadlock.
CREATE INDEX IF NOT EXISTS sequences_by_length ON sequences (length);

-- Every collection by its level-0 digest, with the level-1 digest of each
-- seqcol v1.0 attribute (the filters of /list/collection) and the file it
-- was read from.
CREATE TABLE IF NOT EXISTS collections (
    digest TEXT PRIMARY KEY,
    names TEXT NOT NULL,
    lengths TEXT NOT NULL,
    sequences TEXT NOT NULL,
    sorted_sequences TEXT NOT NULL,
    name_length_pairs TEXT NOT NULL,
    sorted_name_length_pairs TEXT NOT NULL,
    records BIGINT NOT NULL,
    source TEXT NOT NULL,
    added TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS collections_by_names ON collections (names);
CREATE INDEX IF NOT EXISTS collections_by_lengths ON collections (lengths);
CREATE INDEX IF NOT EXISTS collections_by_sequences ON collections (sequences);
CREATE INDEX IF NOT EXISTS collections_by_sorted_sequences ON collections (sorted_sequences);
CREATE INDEX IF NOT EXISTS collections_by_name_length_pairs ON collections (name_length_pairs);
CREATE INDEX IF NOT EXISTS collections_by_sorted_name_length_pairs ON collections (sorted_name_length_pairs);

-- The level-2 arrays, once each, by attribute and digest: canonical JSON,
-- served as it is.
CREATE TABLE IF NOT EXISTS arrays (
    attribute TEXT NOT NULL,
    digest TEXT NOT NULL,
    content TEXT NOT NULL,
    PRIMARY KEY (attribute, digest)
);

-- The records of each collection, in file order.
CREATE TABLE IF NOT EXISTS members (
    collection TEXT NOT NULL REFERENCES collections (digest),
    position BIGINT NOT NULL,
    name TEXT NOT NULL,
    sequence TEXT NOT NULL REFERENCES sequences (md5),
    PRIMARY KEY (collection, position)
);
CREATE INDEX IF NOT EXISTS members_by_sequence ON members (sequence);
CREATE INDEX IF NOT EXISTS members_by_name ON members (name);

-- Names given to sequences by an authority (insdc, refseq, ucsc, ...).
CREATE TABLE IF NOT EXISTS aliases (
    sequence TEXT NOT NULL REFERENCES sequences (md5),
    naming_authority TEXT NOT NULL,
    alias TEXT NOT NULL,
    PRIMARY KEY (naming_authority, alias, sequence)
);
CREATE INDEX IF NOT EXISTS aliases_by_sequence ON aliases (sequence);
-- A file's names looked up whatever authority gave them (identify).
CREATE INDEX IF NOT EXISTS aliases_by_alias ON aliases (alias);
