# docs/performance.png from the curves velmora_callbench wrote for each build:
#   gnuplot -e "results='build/bench-results'" bench/performance.gp
# Each file holds one data block per thread count (1, 2, 4): servers, types, threads,
# forwarded and direct nanoseconds per call (best runs; wall time over all threads).
if (!exists("results")) results = 'build/bench-results'
set terminal pngcairo size 1500,520 font ",10"
set output 'docs/performance.png'
set multiplot layout 1,3 title "Nanoseconds per call against registry size (types = servers, at most 256); solid: forwarded through the library, dashed: direct call of the entry point"
set logscale x
set logscale y
set xrange [0.7:150000]
set yrange [0.3:60]
set xtics ("1" 1, "10" 10, "100" 100, "1k" 1000, "10k" 10000, "100k" 100000)
set xlabel "registered servers"
set ylabel "ns per call (wall time / calls of all threads)"
set grid
set key bottom right
threads = "1 2 4"
colours = "#1f77b4 #d62728 #2ca02c"
do for [build in "linux win32 win64"] {
    file = results.'/calls-'.build.'.dat'
    set title (build eq "linux" ? "Linux libVelmora.so" : build eq "win32" ? "32-bit Velmora.dll (Wine)" : "64-bit Velmora.dll (Wine)")
    plot for [i=0:2] file index i using 1:4 with linespoints lw 2 pt 7 lc rgb word(colours, i+1) \
             title sprintf("forwarded, %s thread%s", word(threads, i+1), i == 0 ? "" : "s"), \
         for [i=0:2] file index i using 1:5 with linespoints lw 1.5 dt 2 pt 6 lc rgb word(colours, i+1) \
             title sprintf("direct, %s thread%s", word(threads, i+1), i == 0 ? "" : "s")
}
unset multiplot
