"""ZivirOR quick start: shows what the installed module offers today."""
import dozudaz_id

print("dozudaz_id", dozudaz_id.__version__)
print("exported:", ", ".join(getattr(dozudaz_id, "__all__", [])))
