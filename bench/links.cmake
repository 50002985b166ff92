# One line per benchmark: zv_bench_link(<bench> <libraries it measures>)
zv_bench_link(kernels_bench zolva_runtime)
