# target_link_libraries(<bench> PRIVATE <libs>) for each benchmark
