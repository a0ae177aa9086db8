"""A reference store: sequences by content in a folder that htslib reads as
its REF_CACHE, collections and aliases in SQLite or PostgreSQL."""
from .store import ARRAYS, ATTRIBUTES, TRANSIENT, AddedCollection, CollectionSummary, Member, Store, StoredSequence

__all__ = ["ARRAYS", "ATTRIBUTES", "TRANSIENT", "AddedCollection", "CollectionSummary", "Member", "Store",
           "StoredSequence"]
