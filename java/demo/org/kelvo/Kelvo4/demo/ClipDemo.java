package org.kelvo.Kelvo4.demo;

import java.awt.image.BufferedImage;
import java.io.File;
import java.io.IOException;
import java.util.ArrayList;
import java.util.List;
import javax.imageio.ImageIO;
import org.kelvo.Kelvo4.Decoder.KelvoDecoder;

/**
 * Encodes a short synthetic clip (a sun crossing an evening sky over rolling hills, a bouncing
 * ball) into frame payloads, decodes them through {@link KelvoDecoder} and writes every decoded
 * frame as a PNG, reading the three output bytes of a pixel as red, green and blue.
 *
 * <p>The encoder keeps its own model of the decoded frame: it predicts each frame with the same
 * four-neighbour filter as the decoder, codes the difference to the scene with a few low-frequency
 * DCT coefficients per block, and updates the model with what it sent.
 *
 * <p>Usage: {@code java -jar Kelvo4-demo.jar [output-folder] [frames]}
 */
public final class ClipDemo {
  static final int W = 352, H = 288;
  static final int LUMA_COEFFS = 10, CHROMA_COEFFS = 6;
  static final int[] ZIGZAG = {
    0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40, 48, 41, 34, 27, 20,
    13, 6, 7, 14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59,
    52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63
  };
  static final double[][] BASIS = new double[8][8]; // BASIS[u][x]: orthonormal DCT-II

  static {
    for (int u = 0; u < 8; u++)
      for (int x = 0; x < 8; x++)
        BASIS[u][x] = (u == 0 ? Math.sqrt(0.125) : 0.5) * Math.cos((2 * x + 1) * u * Math.PI / 16);
  }

  final float[] table = new float[64];
  // The encoder's copy of the decoded frame: c0, c1, c2 per pixel, as the decoder holds it.
  int[] model = new int[3 * W * H];

  ClipDemo() {
    for (int i = 0; i < 64; i++) table[i] = i == 0 ? 16 : 6 + 2 * (i / 8 + i % 8);
    for (int i = 0; i < model.length; i += 3) {
      model[i + 1] = 128;
      model[i + 2] = 128;
    }
  }

  public static void main(String[] args) throws IOException {
    File folder = new File(args.length > 0 ? args[0] : "out/frames");
    int frames = args.length > 1 ? Integer.parseInt(args[1]) : 48;
    if (!folder.isDirectory() && !folder.mkdirs()) throw new IOException("cannot create " + folder);

    ClipDemo encoder = new ClipDemo();
    List<byte[]> payloads = new ArrayList<>();
    for (int f = 0; f < frames; f++) payloads.add(encoder.encode(scene((double) f / frames)));

    KelvoDecoder decoder = new KelvoDecoder();
    decoder.reinitDLL(W, H);
    decoder.setQuantizationTable(encoder.table);
    List<byte[]> pictures = new ArrayList<>();
    long start = System.nanoTime();
    for (byte[] payload : payloads) {
      byte[] out = new byte[3 * W * H];
      decoder.decodeFrame(payload, out, true);
      pictures.add(out);
    }
    double seconds = (System.nanoTime() - start) / 1e9;

    for (int f = 0; f < frames; f++) {
      ImageIO.write(toImage(pictures.get(f)), "png", new File(folder, String.format("frame%03d.png", f)));
    }
    System.out.printf(
        "decoded %d frames of %dx%d in %.1f ms: %.0f frames per second%n",
        frames, W, H, seconds * 1e3, frames / seconds);
    System.out.printf("frames written to %s/frame000.png ... frame%03d.png%n", folder.getAbsolutePath(), frames - 1);
  }

  static BufferedImage toImage(byte[] rgb) {
    BufferedImage img = new BufferedImage(W, H, BufferedImage.TYPE_INT_RGB);
    for (int y = 0; y < H; y++)
      for (int x = 0; x < W; x++) {
        int i = 3 * (y * W + x);
        img.setRGB(x, y, (rgb[i] & 0xFF) << 16 | (rgb[i + 1] & 0xFF) << 8 | (rgb[i + 2] & 0xFF));
      }
    return img;
  }

  // The scene at time t in [0, 1), as (c0, c1, c2) per pixel: c0 is the mean of red, green and
  // blue, and the decoder gives red = c0 - 1.25 c2, green = c0 - 1.25 c1.
  static int[] scene(double t) {
    int[] s = new int[3 * W * H];
    double sunX = 40 + 270 * t, sunY = 170 - 120 * Math.sin(Math.PI * t);
    double ballX = 310 - 260 * t;
    for (int y = 0; y < H; y++) {
      for (int x = 0; x < W; x++) {
        double horizon = 200 + 14 * Math.sin(x / 45.0 + 2 * Math.PI * t);
        double r, g, b;
        if (y < horizon) {
          double k = y / horizon;
          r = 25 + 215 * k;
          g = 50 + 100 * k;
          b = 140 - 60 * k;
        } else {
          double k = (y - horizon) / (H - horizon);
          r = 40 - 20 * k;
          g = 150 - 70 * k + 20 * Math.sin(x / 30.0);
          b = 50 - 20 * k;
        }
        double sun = 1 - smoothstep(26, 32, Math.hypot(x - sunX, y - sunY));
        r = mix(r, 255, sun);
        g = mix(g, 225, sun);
        b = mix(b, 90, sun);
        double ballY = horizon(ballX, t) - 24 - 110 * Math.abs(Math.sin(3 * Math.PI * t));
        double ball = 1 - smoothstep(20, 24, Math.hypot(x - ballX, y - ballY));
        r = mix(r, 230, ball);
        g = mix(g, 40, ball);
        b = mix(b, 60, ball);
        int i = 3 * (y * W + x);
        double c0 = (r + g + b) / 3;
        s[i] = (int) Math.round(c0);
        s[i + 1] = (int) Math.round((c0 - g) / 1.25);
        s[i + 2] = (int) Math.round((c0 - r) / 1.25);
      }
    }
    return s;
  }

  static double horizon(double x, double t) {
    return 200 + 14 * Math.sin(x / 45.0 + 2 * Math.PI * t);
  }

  static double smoothstep(double a, double b, double v) {
    double k = Math.max(0, Math.min(1, (v - a) / (b - a)));
    return k * k * (3 - 2 * k);
  }

  static double mix(double a, double b, double k) {
    return a + (b - a) * k;
  }

  // Codes one frame: luma in 8x8 blocks, then per 16x16 macroblock a c1 and a c2 block at half
  // resolution. The model follows the decoder: prediction, then the coded residual.
  byte[] encode(int[] target) {
    int[] predicted = smooth(model);
    byte[] payload = new byte[W * H + W * H / 2];
    double[] block = new double[64];
    int offset = 0;
    for (int by = 0; by < H / 8; by++)
      for (int bx = 0; bx < W / 8; bx++, offset += 64) {
        for (int r = 0; r < 8; r++)
          for (int c = 0; c < 8; c++) {
            int i = 3 * ((8 * by + r) * W + 8 * bx + c);
            block[8 * r + c] = target[i] - predicted[i];
          }
        double[] residual = code(block, payload, offset, LUMA_COEFFS);
        for (int r = 0; r < 8; r++)
          for (int c = 0; c < 8; c++) predicted[3 * ((8 * by + r) * W + 8 * bx + c)] += (int) Math.round(residual[8 * r + c]);
      }
    for (int my = 0; my < H / 16; my++)
      for (int mx = 0; mx < W / 16; mx++)
        for (int k = 1; k <= 2; k++, offset += 64) {
          for (int r = 0; r < 8; r++)
            for (int c = 0; c < 8; c++) {
              double sum = 0;
              for (int d = 0; d < 4; d++) {
                int i = 3 * ((16 * my + 2 * r + d / 2) * W + 16 * mx + 2 * c + d % 2) + k;
                sum += target[i] - predicted[i];
              }
              block[8 * r + c] = sum / 4;
            }
          double[] residual = code(block, payload, offset, CHROMA_COEFFS);
          for (int r = 0; r < 8; r++)
            for (int c = 0; c < 8; c++)
              for (int d = 0; d < 4; d++)
                predicted[3 * ((16 * my + 2 * r + d / 2) * W + 16 * mx + 2 * c + d % 2) + k] +=
                    (int) Math.round(residual[8 * r + c]);
        }
    model = predicted;
    return payload;
  }

  // Transforms, quantises and writes the first `keep` coefficients in zigzag order; returns the
  // residual the decoder will reconstruct from them.
  double[] code(double[] block, byte[] payload, int offset, int keep) {
    double[] coeff = new double[64];
    for (int v = 0; v < 8; v++)
      for (int u = 0; u < 8; u++) {
        double sum = 0;
        for (int y = 0; y < 8; y++)
          for (int x = 0; x < 8; x++) sum += BASIS[v][y] * BASIS[u][x] * block[8 * y + x];
        coeff[8 * v + u] = sum;
      }
    double[] sent = new double[64];
    for (int k = 0; k < keep; k++) {
      int pos = ZIGZAG[k];
      long q = Math.max(-128, Math.min(127, Math.round(coeff[pos] / table[pos])));
      payload[offset + k] = (byte) q;
      sent[pos] = q * table[pos];
    }
    double[] residual = new double[64];
    for (int y = 0; y < 8; y++)
      for (int x = 0; x < 8; x++) {
        double sum = 0;
        for (int v = 0; v < 8; v++)
          for (int u = 0; u < 8; u++) sum += BASIS[v][y] * BASIS[u][x] * sent[8 * v + u];
        residual[8 * y + x] = sum;
      }
    return residual;
  }

  // The decoder's prediction: the mean of the four neighbours, a pixel standing in for a
  // neighbour outside the frame, truncated toward zero.
  static int[] smooth(int[] src) {
    int[] dst = new int[src.length];
    for (int y = 0; y < H; y++)
      for (int x = 0; x < W; x++)
        for (int k = 0; k < 3; k++) {
          int i = 3 * (y * W + x) + k;
          int left = x > 0 ? i - 3 : i, right = x < W - 1 ? i + 3 : i;
          int up = y > 0 ? i - 3 * W : i, down = y < H - 1 ? i + 3 * W : i;
          dst[i] = (src[left] + src[right] + src[up] + src[down]) / 4;
        }
    return dst;
  }
}
