"""The extraction written plainly in Python: the same calls into NumPy, OpenCV
and scikit-learn, in the same order and with the same arguments, that
ColorExtractor.extract_colors makes. Tests and benchmarks compare the native
module against it.

`Reference` mirrors the extractor's settings and steps one method per step, so
the steps can be compared one by one as well.
"""

import cv2
import numpy as np
from sklearn.cluster import DBSCAN, KMeans
from sklearn.preprocessing import StandardScaler


class Reference:
    def __init__(self, n_colors=5, algorithm="kmeans", preprocessing=True, lab_space=True):
        self.n_colors = int(n_colors)
        self.algorithm = algorithm
        self.preprocessing = bool(preprocessing)
        self.lab_space = bool(lab_space)

    def _preprocess_image(self, image):
        if not self.preprocessing:
            return image
        lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
        clahe = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8))
        lab[:, :, 0] = clahe.apply(lab[:, :, 0])
        enhanced = cv2.cvtColor(lab, cv2.COLOR_LAB2BGR)
        return cv2.bilateralFilter(enhanced, 9, 75, 75)

    def _convert_to_feature_space(self, image):
        if self.lab_space:
            return cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
        return cv2.cvtColor(image, cv2.COLOR_BGR2RGB)

    def _apply_mask(self, image, mask):
        if mask is None:
            return image
        if len(mask.shape) == 3:
            mask = cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY)
        mask = ((mask > 128) * 255).astype(np.uint8)
        return cv2.bitwise_and(image, image, mask=mask)

    def _extract_pixels(self, image, mask=None):
        if mask is not None:
            masked_image = self._apply_mask(image, mask)
            mask_bool = mask > 128
            if len(mask.shape) == 3:
                mask_bool = cv2.cvtColor(mask.astype(np.uint8), cv2.COLOR_BGR2GRAY) > 128
            pixels = masked_image[mask_bool]
        else:
            pixels = image.reshape(-1, 3)
        return pixels[~np.all(pixels == 0, axis=1)]

    def _cluster_colors_kmeans(self, pixels):
        if len(pixels) < self.n_colors:
            unique_colors = np.unique(pixels.reshape(-1, 3), axis=0)
            labels = np.arange(len(unique_colors))
            return unique_colors, labels
        kmeans = KMeans(n_clusters=self.n_colors, random_state=42, n_init=10)
        labels = kmeans.fit_predict(pixels)
        return kmeans.cluster_centers_, labels

    def _cluster_colors_dbscan(self, pixels):
        scaler = StandardScaler()
        pixels_scaled = scaler.fit_transform(pixels)
        dbscan = DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100))
        labels = dbscan.fit_predict(pixels_scaled)
        unique_labels = np.unique(labels)
        colors = []
        for label in unique_labels:
            if label == -1:
                continue
            cluster_pixels = pixels[labels == label]
            colors.append(np.mean(cluster_pixels, axis=0))
        colors = np.array(colors)
        if len(colors) > self.n_colors:
            cluster_sizes = [np.sum(labels == label) for label in unique_labels if label != -1]
            sorted_indices = np.argsort(cluster_sizes)[::-1][: self.n_colors]
            colors = colors[sorted_indices]
        return colors, labels

    def _calculate_percentages(self, labels):
        unique_labels, counts = np.unique(labels, return_counts=True)
        valid_counts = counts[unique_labels != -1]
        total = np.sum(valid_counts)
        percentages = valid_counts / total * 100
        return percentages.tolist()

    def extract_colors(self, image, mask=None):
        if isinstance(image, str):
            path = image
            image = cv2.imread(path)
            if image is None:
                raise ValueError(f"Could not load image from {path}")
        if isinstance(mask, str):
            path = mask
            mask = cv2.imread(path)
            if mask is None:
                raise ValueError(f"Could not load mask from {path}")

        processed_image = self._preprocess_image(image)
        feature_image = self._convert_to_feature_space(processed_image)
        pixels = self._extract_pixels(feature_image, mask)
        if len(pixels) == 0:
            return []

        if self.algorithm == "kmeans":
            colors, labels = self._cluster_colors_kmeans(pixels)
        elif self.algorithm == "dbscan":
            colors, labels = self._cluster_colors_dbscan(pixels)
        else:
            raise ValueError(f"Unknown algorithm: {self.algorithm}")
        percentages = self._calculate_percentages(labels)

        if self.lab_space:
            colors_rgb = []
            for color in colors:
                lab_color = np.uint8([[color]])
                rgb_color = cv2.cvtColor(lab_color, cv2.COLOR_LAB2RGB)[0][0]
                colors_rgb.append(rgb_color)
            colors = np.array(colors_rgb)
        else:
            colors = colors.astype(np.uint8)

        if self.algorithm == "dbscan" and len(percentages) > len(colors):
            # DBSCAN kept only its largest clusters, largest first, while the
            # shares are in label order: pick each kept cluster's own share.
            unique_labels, counts = np.unique(labels, return_counts=True)
            sizes = counts[unique_labels != -1].tolist()
            kept = np.argsort(sizes)[::-1][: len(colors)]
            percentages = [percentages[i] for i in kept]

        result = []
        for color, percentage in zip(colors, percentages):
            result.append({"color": tuple(int(c) for c in color), "percentage": round(percentage, 2)})
        result.sort(key=lambda x: x["percentage"], reverse=True)
        return result
