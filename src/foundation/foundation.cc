namespace zolva {}  // filled by the foundation sources
