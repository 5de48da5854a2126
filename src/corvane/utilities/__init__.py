"""Native provenance modules, the JSON codec and the persistence component."""
