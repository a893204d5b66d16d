// Keeps every PST sub-library non-empty while its sources grow.
