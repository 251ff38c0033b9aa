#include "mixer.h"

#include <cstdio>
#include <cstring>
#include <string>

bool Mixer::open(int inputs, int frame_samples) {
    if (!load_libav_compose() || inputs < 1) return false;
    graph_.reset(av.avfilter_graph_alloc());
    in_.reset(av.av_frame_alloc());
    out_.reset(av.av_frame_alloc());
    if (!graph_ || !in_ || !out_) return false;
    // The graph runs in the composer's thread, in step with the video.
    graph_->nb_threads = 1;

    AVFilterContext* mix = nullptr;
    AVFilterContext* limiter = nullptr;
    AVFilterContext* format = nullptr;
    const std::string mix_args =
        "inputs=" + std::to_string(inputs) + ":normalize=0:duration=longest:dropout_transition=0";
    char limit_args[128];
    snprintf(limit_args, sizeof(limit_args), "limit=%.4f:level=0:latency=1:attack=5:release=50",
             kMixCeiling);
    if (av.avfilter_graph_create_filter(&mix, av.avfilter_get_by_name("amix"), "mix",
                                        mix_args.c_str(), nullptr, graph_.get()) < 0 ||
        av.avfilter_graph_create_filter(&limiter, av.avfilter_get_by_name("alimiter"), "limit",
                                        limit_args, nullptr, graph_.get()) < 0 ||
        av.avfilter_graph_create_filter(&format, av.avfilter_get_by_name("aformat"), "format",
                                        "sample_fmts=flt:channel_layouts=stereo:sample_rates=48000",
                                        nullptr, graph_.get()) < 0 ||
        av.avfilter_graph_create_filter(&sink_, av.avfilter_get_by_name("abuffersink"), "out",
                                        nullptr, nullptr, graph_.get()) < 0)
        return false;
    for (int i = 0; i < inputs; ++i) {
        AVFilterContext* src = nullptr;
        const std::string name = "voice" + std::to_string(i);
        if (av.avfilter_graph_create_filter(
                &src, av.avfilter_get_by_name("abuffer"), name.c_str(),
                "time_base=1/48000:sample_rate=48000:sample_fmt=flt:channel_layout=stereo", nullptr,
                graph_.get()) < 0 ||
            av.avfilter_link(src, 0, mix, static_cast<unsigned>(i)) < 0)
            return false;
        sources_.push_back(src);
    }
    if (av.avfilter_link(mix, 0, limiter, 0) < 0 || av.avfilter_link(limiter, 0, format, 0) < 0 ||
        av.avfilter_link(format, 0, sink_, 0) < 0 ||
        av.avfilter_graph_config(graph_.get(), nullptr) < 0)
        return false;
    av.av_buffersink_set_frame_size(sink_, static_cast<unsigned>(frame_samples));
    return true;
}

bool Mixer::add(const std::vector<const float*>& voices, int samples) {
    for (size_t i = 0; i < sources_.size() && i < voices.size(); ++i) {
        AVFrame* f = in_.get();
        f->format = AV_SAMPLE_FMT_FLT;
        f->sample_rate = kRate;
        av.av_channel_layout_default(&f->ch_layout, kChannels);
        f->nb_samples = samples;
        f->pts = pts_;
        if (av.av_frame_get_buffer(f, 0) < 0) return false;
        memcpy(f->data[0], voices[i], sizeof(float) * kChannels * static_cast<size_t>(samples));
        // The source takes the frame's reference and leaves `f` blank.
        if (av.av_buffersrc_add_frame_flags(sources_[i], f, AV_BUFFERSRC_FLAG_KEEP_REF) < 0) {
            av.av_frame_unref(f);
            return false;
        }
        av.av_frame_unref(f);
    }
    pts_ += samples;
    return true;
}

bool Mixer::finish() {
    for (AVFilterContext* src : sources_)
        if (av.av_buffersrc_add_frame_flags(src, nullptr, 0) < 0) return false;
    return true;
}

AVFrame* Mixer::next() {
    av.av_frame_unref(out_.get());
    return av.av_buffersink_get_frame(sink_, out_.get()) >= 0 ? out_.get() : nullptr;
}
