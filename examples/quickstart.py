"""ZivirOR quick start: store six short notes in a fresh database directory,
read one back by its key, list and count them, then find them by keyword, by
vector and by both at once.

The vectors are written out below (eight numbers each, no model needed); a
real agent would store the embeddings of its own model.
"""
import tempfile

import dozudaz_id

NOTES = [
    # key, payload, topic, year, vector
    ("paris-trip", "Paris in spring: the trains were late but the museums were worth it.",
     "travel", 2023, [0.9, 0.1, 0.0, 0.2, 0.0, 0.1, 0.0, 0.3]),
    ("sourdough", "The sourdough starter needs feeding every twelve hours.",
     "cooking", 2024, [0.0, 0.8, 0.3, 0.0, 0.1, 0.0, 0.2, 0.0]),
    ("lyon-food", "Lyon has the best bouchons; book the one near the river.",
     "travel", 2024, [0.7, 0.5, 0.1, 0.1, 0.0, 0.0, 0.1, 0.2]),
    ("standup", "Team standup moved to 9:30 on Mondays and Thursdays.",
     "work", 2024, [0.0, 0.0, 0.1, 0.9, 0.4, 0.0, 0.0, 0.1]),
    ("passport", "My passport expires in March; renew it before the Paris conference.",
     "travel", 2025, [0.6, 0.0, 0.0, 0.4, 0.1, 0.0, 0.0, 0.5]),
    ("bread-oven", "Bake bread at 250 degrees with steam for the first twenty minutes.",
     "cooking", 2023, [0.0, 0.9, 0.2, 0.0, 0.0, 0.1, 0.3, 0.0]),
]


def show(title, hits):
    print(f"\n{title}")
    print(f"{'rank':>4}  {'key':<11} {'score':>7}  payload")
    for rank, hit in enumerate(hits, start=1):
        print(f"{rank:>4}  {hit.key:<11} {hit.score:>7.4f}  {hit.payload[:50]}")


def main():
    with tempfile.TemporaryDirectory() as folder:
        with dozudaz_id.connect(f"{folder}/notes.db") as db:
            for key, payload, topic, year, vector in NOTES:
                db.put("notes", key, payload, metadata={"topic": topic, "year": year}, vector=vector)
            print(f"stored {len(NOTES)} notes in namespace 'notes'")

            note = db.memory.get("notes", "passport")
            print(f"\nRead back by key: {note.key} (version {note.version})")
            print(f"  payload:  {note.payload}")
            print(f"  metadata: {note.metadata}")
            print(f"  vector:   {note.vector}")

            page = db.memory.list("notes", limit=10)
            print(f"\nListed {len(page)} notes: {', '.join(record.key for record in page)}")
            print(f"Counted {db.count('notes')} notes, {db.count('notes', {'topic': 'travel'})} about travel, "
                  f"{db.count('notes', {'year': {'$gte': 2024}})} from 2024 on")

            show("Keyword search: What did I note about Paris?",
                 db.search("notes", [], text_query="What did I note about Paris?", top_k=3))
            near_lyon = NOTES[2][4]
            show("Vector search near the Lyon note",
                 db.search("notes", near_lyon, top_k=3))
            show("Hybrid search: bread, near the sourdough note",
                 db.search("notes", NOTES[1][4], text_query="bread", top_k=3))


if __name__ == "__main__":
    main()
